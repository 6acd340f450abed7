// How wiiuse_poll waits when its group has nothing: on the descriptors of
// every open remote of the process at once, for a bounded time.
#ifndef WIIUSE_WAITING_H
#define WIIUSE_WAITING_H

#include <vector>

namespace wiiuse_linux {

struct Watched {
	int fd;
	bool mine; // belongs to the group being polled
};

enum class Woken {
	Mine,    // input (or an error) on one of the group's own descriptors
	Other,   // input only for other groups
	Nothing, // the time ran out
};

// Waits at most limitMs milliseconds for any of `fds` to have something.
Woken waitForInput(const std::vector<Watched> &fds, int limitMs);

} // namespace wiiuse_linux

#endif
