#include "search.h"

#include "bluez.h"
#include "notices.h"
#include "report.h"
#include "udev.h"

#include <algorithm>
#include <map>
#include <memory>

namespace wiiuse_linux {

Verdict judge(Bound &b, bool last, const std::string &sysRoot, Time now)
{
	if (last ? !settled(b.where, sysRoot, &b.settled) : !readyToTake(b.where, sysRoot, &b.settled))
		return Verdict::Settling;
	if (!b.judged) {
		b.judged = true;
		// Asked at once: a remote still bound whose batteries were pulled
		// (the next game started within its link's 20 s) is not taken.
		if (!b.where.hidraw.empty() && openRaw(b.where.hidraw, b.raw))
			b.hearing = askFirst(b.raw, now);
		return b.raw.isOpen() ? Verdict::Asking : Verdict::Take;
	}
	// Without a raw node there is nothing to ask: taken as it is.
	if (!b.raw.isOpen())
		return Verdict::Take;
	switch (listen(b.raw, b.hearing, false, now)) {
	case Answer::Yes:
		return Verdict::Take;
	case Answer::Waiting:
		return Verdict::Asking;
	case Answer::No:
		break;
	}
	return Verdict::Skip;
}

namespace {

// The search through BlueZ, on the ports it is handed. Without a controller
// the kernel knows, bluetoothd has nothing to search with (Debian's unit
// does not even start it).
std::unique_ptr<BluezSearch, BluezSearchEnd> startBluetooth(const std::string &sysRoot, Time deadline)
{
	if (entries(sysRoot + "/class/bluetooth").empty()) {
		cannotHelp("nessun adattatore Bluetooth su questa macchina: collegane uno e avvia di nuovo hitcheck");
		return nullptr;
	}
	std::string why;
	BusPort bus = bluetooth().bus(why);
	if (!bus.call) {
		cannotHelp("impossibile raggiungere il bus di sistema: " + why);
		return nullptr;
	}
	return startBluezSearch(std::move(bus), bluetooth().hci(), sysRoot, deadline, bindsWithoutDeviceId(sysRoot));
}

} // namespace

std::vector<Bound> searchRemotes(const std::string &sysRoot, const std::string &devRoot,
                                 std::set<std::string> &taken, int want, Time deadline)
{
	std::vector<Bound> got;
	// The operator's line goes with the search, last, and with a signal
	// that ends the program during it.
	Interruptible interruptible;
	struct Erase {
		~Erase() { eraseCountdown(); }
	} erase;
	// Remotes not connected yet are brought in through BlueZ; those it
	// connects show up in sysfs like the others. Discovery ends with the
	// search.
	std::unique_ptr<BluezSearch, BluezSearchEnd> bluetooth;
	bool asked = false;
	Time hardEnd = deadline + kSearchOvertime;
	std::map<std::string, Bound> seen; // bound remotes judged so far
	std::unique_ptr<DeviceWatch, DeviceWatchEnd> watch = watchDevices(sysRoot);
	int woken = watch ? deviceEventsFd(*watch) : -1;
	for (;;) {
		endIfInterrupted();
		if (watch)
			takeDeviceEvents(*watch);
		Time t = now();
		std::vector<Found> bound = discover(sysRoot, devRoot, &taken);
		std::set<std::string> addresses;
		for (const Found &f : bound)
			addresses.insert(f.uniq);
		// Remotes BlueZ has connected for this search and the driver has
		// not bound yet; one that failed, never binds or is silent takes up
		// no room.
		int awaited = bluetooth ? awaitingBind(*bluetooth, addresses, t) : 0;
		bool owed = bluetooth && owesRemotes(*bluetooth, t);
		bool last = t >= hardEnd || (t >= deadline && !owed);
		int settling = 0; // bound, but not ours yet
		int asking = 0;   // asked whether it is there, and may still answer
		// A remote unbound meanwhile is forgotten, its raw node closed.
		for (auto it = seen.begin(); it != seen.end();)
			it = std::any_of(bound.begin(), bound.end(), [&](const Found &f) { return f.id == it->first; })
			     ? std::next(it)
			     : seen.erase(it);
		for (const Found &f : bound) {
			if (static_cast<int>(got.size()) >= want)
				break;
			if (taken.count(f.id))
				continue;
			Bound &b = seen[f.id];
			b.where = f;
			Verdict v = judge(b, last, sysRoot, t);
			// A silent remote is passed over as if it were absent.
			if (v == Verdict::Skip)
				continue;
			// Remotes are taken in the order they connected: one that is
			// not ready holds back those after it until the end, one that
			// is being asked until it answers or is found silent.
			if (v == Verdict::Settling || v == Verdict::Asking) {
				++(v == Verdict::Asking ? asking : settling);
				continue;
			}
			if ((settling && !last) || asking)
				continue;
			if (bluetooth)
				tookRemote(*bluetooth, f.uniq, b.raw.isOpen());
			taken.insert(f.id);
			got.push_back(std::move(b));
			seen.erase(f.id);
		}
		int have = static_cast<int>(got.size());
		if (have >= want || (last && (!asking || t >= hardEnd)))
			return got;
		// Remotes already bound that udev is still setting up, or that are
		// being asked, need no Bluetooth; a later look takes them.
		// Every turn waits: for BlueZ, or for the next look; the last look
		// is at the deadline.
		// Or until a remote asked is to be listened to again, or one
		// BlueZ connected is no longer awaited.
		Time until = std::min(t + (watch ? kWatchedStep : kSearchStep), t < deadline ? deadline : hardEnd);
		auto consider = [&](Time at) {
			if (at > t)
				until = std::min(until, at);
		};
		for (auto &[id, b] : seen)
			if (b.raw.isOpen())
				consider(nextListen(b.hearing));
		if (bluetooth)
			consider(nextBindDue(*bluetooth));
		// udev's word on a device, or an answer, ends the wait as it comes,
		// whether or not Bluetooth is searching meanwhile.
		std::vector<pollfd> answers;
		if (watch)
			answers.push_back({woken, POLLIN, 0});
		for (auto &[id, b] : seen)
			if (b.raw.isOpen() && b.hearing.asks)
				answers.push_back({b.raw.fd, POLLIN, 0});
		if (!asked && have + settling + asking >= want) {
			waitUntil(answers.data(), answers.size(), until);
			continue;
		}
		if (!asked) {
			asked = true;
			bluetooth = startBluetooth(sysRoot, deadline);
		}
		if (!bluetooth) {
			// Nothing to press for: Bluetooth cannot help (said).
			eraseCountdown();
			waitUntil(answers.data(), answers.size(), until);
			continue;
		}
		// The operator has to act now: say so while the search lasts,
		// the seconds left as they pass. While Bluetooth cannot help
		// (said), there is nothing to press for; a bluetoothd that comes
		// back is still listened for.
		if (bluetoothFailed(*bluetooth))
			eraseCountdown();
		else
			showCountdown(deadline);
		if (t < deadline)
			until = std::min(until, deadline - std::chrono::duration_cast<std::chrono::seconds>(deadline - t) + Ms(1));
		stepBluezSearch(*bluetooth, until, deadline, want - have - settling - asking - awaited, answers);
	}
}

} // namespace wiiuse_linux
