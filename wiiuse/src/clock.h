// The library's one clock, and its one way of waiting: everything that
// times out, waits or schedules goes through here, so that the tests can
// drive time instead of spending it.
#ifndef WIIUSE_CLOCK_H
#define WIIUSE_CLOCK_H

#include <chrono>
#include <cstdint>
#include <poll.h>

namespace wiiuse_linux {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using Ms = std::chrono::milliseconds;

constexpr Time kNever = Time::max();

struct Ticking {
	Time (*now)();
	// Waits until `until` at most for one of `fds` (none: a sleep), as
	// poll(2) does, and returns what poll returned.
	int (*wait)(pollfd *fds, nfds_t count, Time until);
};

Time now();
int waitUntil(pollfd *fds, nfds_t count, Time until);
inline void sleepUntil(Time until) { waitUntil(nullptr, 0, until); }

// sd-bus's own timeouts are absolute times of CLOCK_MONOTONIC, in
// microseconds (UINT64_MAX: none): the time on this clock when one falls
// due, never before now.
Time fromMonotonic(uint64_t usec);

// The system's steady clock and poll(2), unless a test says otherwise.
void useClock(Ticking ticking);
Ticking realClock();

} // namespace wiiuse_linux

#endif
