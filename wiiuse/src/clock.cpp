#include "clock.h"

#include <algorithm>
#include <ctime>

namespace wiiuse_linux {

namespace {

Time realNow()
{
	return Clock::now();
}

int realWait(pollfd *fds, nfds_t count, Time until)
{
	// Rounded up, so that the time has come when the wait ends.
	auto left = std::chrono::ceil<Ms>(until - Clock::now()).count();
	int ms = until == kNever ? -1 : static_cast<int>(std::clamp<long long>(left, 0, 60'000));
	return poll(fds, count, ms);
}

Ticking ticking = {realNow, realWait};

} // namespace

Time now()
{
	return ticking.now();
}

int waitUntil(pollfd *fds, nfds_t count, Time until)
{
	return ticking.wait(fds, count, until);
}

Time fromMonotonic(uint64_t usec)
{
	if (usec == UINT64_MAX)
		return kNever;
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	uint64_t real = static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
	auto left = std::chrono::microseconds(usec > real ? usec - real : 0);
	return now() + std::chrono::duration_cast<Clock::duration>(left);
}

void useClock(Ticking t)
{
	ticking = t;
}

Ticking realClock()
{
	return {realNow, realWait};
}

} // namespace wiiuse_linux
