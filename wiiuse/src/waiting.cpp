#include "waiting.h"

#include <cstddef>
#include <poll.h>

namespace wiiuse_linux {

Woken waitForInput(const std::vector<Watched> &fds, int limitMs)
{
	std::vector<pollfd> p;
	p.reserve(fds.size());
	for (const Watched &w : fds)
		p.push_back({w.fd, POLLIN, 0});
	// An interrupted wait counts as one that found nothing: the caller polls again.
	if (poll(p.data(), p.size(), limitMs) <= 0)
		return Woken::Nothing;
	bool other = false;
	for (std::size_t i = 0; i < p.size(); ++i) {
		if (!p[i].revents)
			continue;
		if (fds[i].mine)
			return Woken::Mine;
		other = true;
	}
	return other ? Woken::Other : Woken::Nothing;
}

} // namespace wiiuse_linux
