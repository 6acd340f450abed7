#include "search.h"

#include "bluez.h"
#include "countdown.h"
#include "rawnode.h"
#include "udev.h"

#include <algorithm>
#include <map>
#include <memory>
#include <poll.h>
#include <thread>

namespace wiiuse_linux {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSearchStep = std::chrono::milliseconds(100); // between two looks in sysfs

// A bound remote the search has asked whether it is there.
struct Asked {
	RawNode raw;
	Hearing hearing;
	bool yes = false; // it has answered, or cannot be asked: taken
};

// Whether a bound remote answers, asked through its raw node when the
// search first sees it, and again while it is silent: a remote still bound
// whose batteries were pulled (the next game started within its link's
// 20 s) is not taken. `wait`: the search is ending, and waits for its
// answer. Without a raw node there is nothing to ask.
Answer answers(const Found &f, std::map<std::string, Asked> &asked, bool wait)
{
	if (f.hidraw.empty())
		return Answer::Yes;
	Asked &a = asked[f.id];
	if (a.yes)
		return Answer::Yes;
	if (!a.raw.isOpen()) {
		if (!openRaw(f.hidraw, a.raw)) {
			a.yes = true; // cannot be asked: taken as before
			return Answer::Yes;
		}
		// Asked at once, as if quiet long enough.
		a.hearing = {Clock::now() - kAskAfter, {}, 0};
	}
	Answer answer = listen(a.raw, a.hearing, false);
	while (answer == Answer::Waiting && wait) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAsk(a.hearing) - Clock::now());
		pollfd p = {a.raw.fd, POLLIN, 0};
		if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count()) + 1) > 0 && !(p.revents & POLLIN))
			break; // the node failed: no answer will come
		answer = listen(a.raw, a.hearing, false);
	}
	a.yes = answer == Answer::Yes;
	return answer;
}

} // namespace

std::vector<Found> searchRemotes(const std::string &sysRoot, const std::string &devRoot,
                                 std::set<std::string> &taken, int want, Clock::time_point deadline)
{
	std::vector<Found> got;
	struct Erase {
		~Erase() { eraseCountdown(); }
	} erase; // the operator's line goes with the search, last
	// Remotes not connected yet are brought in through BlueZ; those it
	// connects show up in sysfs like the others. Discovery ends with the
	// search.
	std::unique_ptr<BluezSearch, BluezSearchEnd> bluetooth;
	bool asked = false;
	int haveBefore = 0, broughtIn = 0;
	Clock::time_point owedUntil; // a remote brought in is awaited until then
	std::map<std::string, Asked> questioned; // bound remotes asked whether they are there
	for (;;) {
		auto now = Clock::now();
		bool owed = static_cast<int>(got.size()) < haveBefore + broughtIn && now < owedUntil;
		bool last = now >= deadline && !owed;
		int settling = 0; // bound, but not ours yet
		for (const Found &f : discover(sysRoot, devRoot)) {
			if (static_cast<int>(got.size()) >= want)
				break;
			if (taken.count(f.id))
				continue;
			// A node refused is tried again while the search lasts; at its
			// end the remote is taken all the same, and its connection
			// says why. Remotes are taken in the order they connected: one
			// that is not ready holds back those after it until the end.
			if (last ? !settled(f, sysRoot) : !readyToTake(f, sysRoot)) {
				++settling;
				continue;
			}
			// A silent remote is passed over as if it were absent.
			Answer answer = answers(f, questioned, last);
			if (answer == Answer::No)
				continue;
			if (answer == Answer::Waiting) {
				++settling;
				continue;
			}
			if (settling && !last)
				continue;
			taken.insert(f.id);
			got.push_back(f);
		}
		int have = static_cast<int>(got.size());
		if (have >= want || last)
			return got;
		// Remotes already bound that udev is still setting up need no
		// Bluetooth; the next look takes them.
		if (!asked && have + settling >= want) {
			std::this_thread::sleep_for(std::min<Clock::duration>(kSearchStep, deadline - now));
			continue;
		}
		if (!asked) {
			asked = true;
			haveBefore = have;
			bluetooth = startBluezSearch(deadline);
		}
		// The operator has to act now: say so while the search lasts.
		showCountdown(deadline);
		// Every turn waits: for BlueZ, or for the next look.
		auto step = std::chrono::duration_cast<std::chrono::milliseconds>(
			std::min<Clock::duration>(kSearchStep, std::max(deadline, owedUntil) - now));
		if (!bluetooth) {
			std::this_thread::sleep_for(step);
			continue;
		}
		int before = broughtIn;
		broughtIn = stepBluezSearch(*bluetooth, step, deadline, want - std::max(have, haveBefore + broughtIn));
		if (broughtIn > before)
			owedUntil = Clock::now() + kDriverBindGrace;
	}
}

} // namespace wiiuse_linux
