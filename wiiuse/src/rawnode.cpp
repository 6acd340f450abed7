#include "rawnode.h"

#include "countdown.h"
#include "node.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace wiiuse_linux {

void RawNode::close()
{
	if (fd >= 0)
		::close(fd);
	fd = -1;
}

bool openRaw(const std::string &path, RawNode &node)
{
	static bool warned = false;
	node.close();
	node.fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (node.fd < 0 && !warned) {
		warned = true;
		std::string why = refusal(path, errno);
		// Said during a search too: through its line, not across it.
		notice("impossibile aprire " + path + ": " + why +
		       "; un wiimote che tace sarà notato solo quando il collegamento cade, fino a 20 s dopo");
	}
	return node.fd >= 0;
}

bool heard(RawNode &node)
{
	bool any = false;
	uint8_t report[64];
	for (;;) {
		ssize_t n = read(node.fd, report, sizeof report);
		if (n > 0) {
			any = true;
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		return any;
	}
}

std::chrono::steady_clock::time_point nextAsk(const Hearing &h)
{
	if (h.asks == 0)
		return h.heardAt + kAskAfter;
	return h.askedAt + (h.asks == 2 ? kAnswerWithin : kAskAgain);
}

Answer listen(RawNode &node, Hearing &h, bool rumbling)
{
	auto now = std::chrono::steady_clock::now();
	if (heard(node)) {
		h.heardAt = now;
		h.asks = 0;
		return Answer::Yes;
	}
	if (now < nextAsk(h))
		return h.asks == 0 ? Answer::Yes : h.asks < 3 ? Answer::Waiting : Answer::No;
	askStatus(node, rumbling);
	h.askedAt = now;
	h.asks = std::min(h.asks + 1, 3);
	return h.asks < 3 ? Answer::Waiting : Answer::No;
}

void askStatus(RawNode &node, bool rumbling)
{
	const uint8_t request[2] = {0x15, static_cast<uint8_t>(rumbling ? 0x01 : 0x00)};
	if (write(node.fd, request, sizeof request) < 0) {
		// Unanswered all the same: the remote counts as silent.
	}
}

} // namespace wiiuse_linux
