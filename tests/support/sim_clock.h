// The library's clock, driven by a test.
#ifndef TESTS_SIM_CLOCK_H
#define TESTS_SIM_CLOCK_H

#include "clock.h"

#include <functional>
#include <map>
#include <poll.h>
#include <vector>

namespace wiiuse_linux {

// The library's clock, driven by the test: a wait with nothing ready moves
// time on to its end, or to the next thing planned, which happens then.
struct Sim {
	Time t = Time{} + std::chrono::hours(1);
	std::multimap<Time, std::function<void()>> plan;
	std::vector<std::function<void()>> watchers; // see what the library wrote
	int waits = 0;

	void at(Time when, std::function<void()> what) { plan.emplace(when, std::move(what)); }
	void runDue()
	{
		for (auto &w : watchers)
			w();
		while (!plan.empty() && plan.begin()->first <= t) {
			auto what = plan.begin()->second;
			plan.erase(plan.begin());
			what();
		}
	}
};
inline Sim *sim = nullptr;

inline Time simNow()
{
	return sim->t;
}

inline int simWait(pollfd *fds, nfds_t count, Time until)
{
	++sim->waits;
	for (;;) {
		sim->runDue();
		if (int r = poll(fds, count, 0))
			return r;
		Time next = sim->plan.empty() ? kNever : sim->plan.begin()->first;
		if (next < until) {
			sim->t = next;
			continue;
		}
		if (until > sim->t)
			sim->t = until == kNever ? sim->t + std::chrono::seconds(1) : until;
		return 0;
	}
}

} // namespace wiiuse_linux

#endif
