#include "bluez.h"

#include "bringin.h"
#include "bus.h"
#include "inquiry.h"
#include "objects.h"
#include "radio.h"
#include "report.h"
#include "sysfs.h"
#include "trust.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace wiiuse_linux {

namespace {

// A device reached for bluetoothd to add is given this long to be paired.
constexpr auto kReachFor = std::chrono::seconds(10);

const char kRuleHint[] =
	"il driver hid-wiimote lo prende solo con la regola udev di hitcheck; da root, nella cartella dei "
	"sorgenti: install -m 644 udev/70-hitcheck-wiimote.rules /etc/udev/rules.d/ && udevadm control --reload";
const char kSyncHint[] =
	"premi il tasto rosso SYNC sotto il coperchio delle batterie durante la ricerca";

// What is said once in the process.
bool warned = false; // Bluetooth's unavailability has been told
bool hinted = false; // the SYNC button has been suggested
bool toldRule = false; // the root step for remotes with no Device ID has been said
bool toldLimited = false; // the limited inquiry's unavailability has been told
bool toldRefused = false; // the limited inquiry's refusal has been told
std::set<std::string> toldMisnamed; // look-alikes with another name, said once each

void cannotHelp(const std::string &why)
{
	if (warned)
		return;
	warned = true;
	notice("Bluetooth non disponibile per la ricerca: " + why);
}

// A device heard by the limited inquiry that bluetoothd does not know, and
// the connection that makes it add the device.
struct Reaching {
	Socket l2cap;
	Time until;
};

} // namespace

// One search's session with BlueZ: its start, the device being brought in,
// the radio's turns, and what the search owes the search that began it.
struct BluezSearch {
	Bus bus;
	Slot added, changed;
	// The start: the inventory (GetManagedObjects), then StartDiscovery.
	enum class Start { Inventory, Discovery, Done } started = Start::Inventory;
	Call start;
	std::string adapter;                   // object path of the adapter searched with
	std::string adapterAddress;
	std::map<std::string, Device> devices; // by object path
	std::map<std::string, Time> resting;   // devices the search tried, and when it gave up
	std::set<std::string> strangers; // not Wii Remotes: left alone for the rest of the search
	std::unique_ptr<BringIn> bringing;
	Time deadline; // the search's own
	// Remotes connected by the search, by address as sysfs writes it,
	// awaited until then for the driver to bind them.
	std::map<std::string, Time> awaiting;
	// Look-alikes connected and not trusted yet, by address: trusted once
	// the driver has bound them and they have answered.
	std::map<std::string, std::string> lookalikes;
	std::string sysRoot; // where the drivers bound to devices are read
	bool failed = false; // Bluetooth cannot help: said, and nothing more is asked
	bool bindsWithoutId = false; // this machine's udev binds remotes with no Device ID
	RadioTurns radio;
	Call turning; // StopDiscovery() or StartDiscovery(), for the radio
	Socket inquiry;
	bool inquiryBegun = false; // the controller has started the limited inquiry
	std::set<std::string> heard; // remotes by their address, heard by the limited inquiry
	std::map<std::string, Reaching> reaching;
};

namespace {

int onInterfacesAdded(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	const char *path = nullptr;
	if (sd_bus_message_read(m, "o", &path) < 0)
		return 0;
	Device d = s->devices.count(path) ? s->devices[path] : Device{};
	bool isAdapter = false, isDevice = false;
	if (readInterfaces(m, d, isAdapter, isDevice) >= 0 && isDevice)
		s->devices[path] = d;
	return 0;
}

int onPropertiesChanged(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	auto it = s->devices.find(sd_bus_message_get_path(m));
	const char *iface = nullptr;
	if (it == s->devices.end() || sd_bus_message_read(m, "s", &iface) < 0 || std::strcmp(iface, kDevice))
		return 0;
	readDeviceProps(m, it->second);
	return 0;
}

// The adapters and devices BlueZ has: the first powered adapter is searched
// with.
int onInventory(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	s->start.answered = true;
	if (const sd_bus_error *e = sd_bus_message_get_error(reply)) {
		s->start.error = e->name ? e->name : "org.freedesktop.DBus.Error.Failed";
		s->start.message = e->message ? e->message : s->start.error;
		return 0;
	}
	Inventory found;
	readInventory(reply, found);
	for (auto &[path, d] : found.devices)
		s->devices[path] = d;
	for (auto &[path, a] : found.adapters)
		if (a.powered) {
			s->adapter = path;
			s->adapterAddress = a.address;
			return 0;
		}
	s->start.message = found.adapters.empty()
	                   ? "nessun adattatore Bluetooth"
	                   : "l'adattatore " + found.adapters.begin()->first + " è spento (bluetoothctl power on)";
	return 0;
}

void hintSync(const Device &d, const std::string &error)
{
	if (hinted)
		return;
	hinted = true;
	notice("il wiimote " + (d.name.empty() ? d.address : d.name) + " non si lascia collegare (" + error +
	       "): " + kSyncHint);
}

// The bring-in is over: true when its remote was connected. One that was
// not rests, and the devices not tried since get their turn first; a
// pairing it leaves under way is cancelled.
bool finish(BluezSearch &s, bool connected, Time t)
{
	BringIn &b = *s.bringing;
	Device &d = *b.device;
	s.reaching.erase(d.address);
	if (connected) {
		s.heard.erase(d.address);
		s.awaiting[lower(d.address)] = t + kDriverBindGrace;
	} else {
		if (pairingUnderWay(b))
			cancelPairing(s.bus, b.path);
		s.lookalikes.erase(lower(d.address));
	}
	s.resting[b.path] = t;
	s.bringing.reset();
	return connected;
}

// Not a remote, or not one the driver will take: unpaired if the search
// paired it, and left alone for the rest of the search.
bool leave(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	if (b.pairedHere)
		unpair(s.bus, s.adapter, b.path);
	s.strangers.insert(b.path);
	return finish(s, false, t);
}

// Once paired, or paired before: what it says it is decides, as soon as it
// is known, whether it is connected.
bool decideOn(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	Device &d = *b.device;
	Kind kind = kindOf(factsOf(d));
	if (d.modalias.empty() && d.hid && b.noIdSince == kNever)
		b.noIdSince = t;
	switch (decide(b, kind, t, s.bindsWithoutId)) {
	case Decision::Wait:
		// Asked again once the last question is answered, a tenth of a
		// second after it at the soonest: BlueZ is not kept busy
		// answering while it reads the device's services.
		if ((!b.call.slot || b.call.answered) && t >= b.askedAt + kAskIdEvery) {
			b.askedAt = t;
			askProperty(s.bus, b.call, b.path, "Modalias");
		}
		return false;
	case Decision::Connect:
		if (trustedOnConnect(kind))
			setTrusted(s.bus, b.path, true);
		else
			s.lookalikes[lower(d.address)] = b.path;
		b.stage = BringIn::Connecting;
		await(s.bus, b.call, b.path, kDevice, "Connect");
		return false;
	case Decision::NeedsRule:
		if (!toldRule) {
			toldRule = true;
			notice("il wiimote " + d.name + " (" + d.address + ") non ha Device ID: " + kRuleHint);
		}
		return leave(s, t);
	case Decision::Leave:
		return leave(s, t);
	case Decision::PairAgain:
		unpair(s.bus, s.adapter, b.path);
		d.paired = false;
		return finish(s, false, t);
	}
	return false;
}

// Takes the bring-in one stage on, when what it awaits has come. True when
// its remote has been connected. Nothing is connected before it says it is
// a remote the driver takes, paired before or not; a pairing that failed
// is followed by a connection only for such a remote.
bool advance(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	Device &d = *b.device;
	if (b.stage == BringIn::AwaitingId) {
		// An answer's Device ID is taken once: a later change BlueZ
		// signals is not overwritten by it.
		if (b.call.answered && !b.call.value.empty()) {
			d.modalias = b.call.value;
			b.call.value.clear();
		}
		return decideOn(s, t);
	}
	if (!b.call.answered)
		return false;
	if (b.stage == BringIn::Connecting) {
		if (connectedBy(b.call.error)) {
			d.connected = true;
			return finish(s, true, t);
		}
		if (!b.wasPaired)
			hintSync(d, b.call.error);
		return finish(s, false, t);
	}
	switch (afterPairing(b.call.error, kindOf(factsOf(d)))) {
	case Paired::Yes:
		d.modalias.clear(); // as it is now that it is paired: asked anew
		b.pairedHere = true;
		[[fallthrough]];
	case Paired::Before:
		d.paired = true;
		b.stage = BringIn::AwaitingId;
		b.until = t + kServicesWait;
		b.call = Call{};
		return decideOn(s, t);
	case Paired::GivenUp:
		cancelPairing(s.bus, b.path);
		return finish(s, false, t);
	case Paired::ConnectAnyway:
		b.stage = BringIn::Connecting;
		await(s.bus, b.call, b.path, kDevice, "Connect");
		return false;
	case Paired::Refused:
		hintSync(d, b.call.error);
		return finish(s, false, t);
	}
	return false;
}

// A device the search trusted that is now something else loses its trust
// and its pairing, said once.
void reconsider(BluezSearch &s, const std::string &path, Device &d)
{
	// Only a trusted device's driver is looked for in sysfs.
	if (!d.paired || !d.trusted || !forfeitsTrust(factsOf(d, hidDriverOf(s.sysRoot, lower(d.address)))))
		return;
	setTrusted(s.bus, path, false);
	unpair(s.bus, s.adapter, path);
	d.trusted = d.paired = false;
	s.strangers.insert(path);
	notice("il dispositivo " + (d.name.empty() ? d.address : d.name + " (" + d.address + ")") +
	       " non si presenta più come un wiimote: tolti la fiducia e l'associazione");
}

// Takes the start one stage on: the inventory, then discovery. False once
// Bluetooth cannot help, said.
bool advanceStart(BluezSearch &s, Time t)
{
	if (!s.start.answered)
		return true;
	std::string why;
	if (s.started == BluezSearch::Start::Inventory) {
		if (s.start.message.empty()) {
			for (auto &[path, d] : s.devices)
				if (d.adapter == s.adapter)
					reconsider(s, path, d);
			Message filter = newCall(s.bus, s.adapter, kAdapter, "SetDiscoveryFilter");
			if (filter && sd_bus_message_append(filter.get(), "a{sv}", 1, "Transport", "s", "bredr") >= 0)
				send(s.bus, filter, nullptr, nullptr, nullptr);
			s.started = BluezSearch::Start::Discovery;
			await(s.bus, s.start, s.adapter, kAdapter, "StartDiscovery");
			return true;
		}
		why = s.start.error.empty() ? s.start.message : "bluetoothd non risponde (" + s.start.message + ")";
	} else if (discoveryOn(s.start)) {
		discoveryStarted(s.radio, t);
		s.started = BluezSearch::Start::Done;
		s.start = Call{};
		return true;
	} else {
		why = "impossibile avviare la ricerca su " + s.adapter + " (" + s.start.message + ")";
	}
	cannotHelp(why);
	s.started = BluezSearch::Start::Done;
	s.start = Call{};
	return false;
}

bool known(const BluezSearch &s, const std::string &address)
{
	for (auto &[path, d] : s.devices)
		if (d.adapter == s.adapter && d.address == address)
			return true;
	return false;
}

// A device heard by the limited inquiry: if bluetoothd knows it, the
// search pairs it as any other; if not, a connection makes bluetoothd add
// it.
void heardLimited(BluezSearch &s, const Heard &h, Time t)
{
	if (!remoteClass(h.deviceClass) || !s.heard.insert(h.address).second || known(s, h.address))
		return;
	Socket l2cap = reach(s.adapterAddress, h.address);
	if (l2cap.isOpen())
		s.reaching[h.address] = {std::move(l2cap), t + kReachFor};
	else
		s.heard.erase(h.address); // heard anew by the next inquiry
}

// Carries out what the radio's turns call for, and tells them what came of
// it.
void turnRadio(BluezSearch &s, Time t, Time deadline)
{
	// One that bluetoothd has not added in time is heard anew by a later
	// inquiry.
	for (auto it = s.reaching.begin(); it != s.reaching.end();) {
		if (t < it->second.until) {
			++it;
			continue;
		}
		if (!known(s, it->first))
			s.heard.erase(it->first);
		it = s.reaching.erase(it);
	}
	RadioNews news;
	if (s.radio.radio == Radio::Stopping || s.radio.radio == Radio::Starting) {
		news.answered = s.turning.answered;
		news.ok = discoveryOn(s.turning);
	}
	if (s.radio.radio == Radio::Limited) {
		std::vector<Heard> heard;
		news.inquiry = readInquiry(s.inquiry, heard, s.inquiryBegun);
		for (const Heard &h : heard)
			heardLimited(s, h, t);
		// The controller inquires for someone else: another program's
		// discovery, which bluetoothd keeps up after the search's ends.
		if (news.inquiry == InquiryEvent::Refused && !toldRefused) {
			toldRefused = true;
			notice("ricerca limitata rifiutata da " + s.adapter +
			       ": un altro programma sta cercando dispositivi Bluetooth (le impostazioni Bluetooth aperte, "
			       "bluetoothctl scan on); chiudilo, o i wiimote che rispondono solo a quella non saranno trovati");
		}
	}
	for (;;) {
		switch (turnRadio(s.radio, news, t, deadline, s.bringing != nullptr, s.inquiry.isOpen())) {
		case RadioCall::None:
			return;
		case RadioCall::OpenInquiry: {
			std::string why;
			int error = 0;
			s.inquiry = openInquiry(std::atoi(s.adapter.c_str() + s.adapter.rfind("hci") + 3), s.adapterAddress,
			                        why, error);
			if (s.inquiry.isOpen())
				break;
			// A controller bluetoothd has and the kernel has not: a
			// stand-in bluetoothd, nothing the operator can change.
			if (!toldLimited && error != ENODEV && error != EAFNOSUPPORT) {
				toldLimited = true;
				notice("ricerca limitata non disponibile su " + s.adapter + ": " + why +
				       " (i wiimote che rispondono solo a quella non saranno trovati)");
			}
			s.radio.radio = Radio::Off;
			return;
		}
		case RadioCall::StopDiscovery:
		case RadioCall::StartDiscovery:
			s.turning = Call{};
			await(s.bus, s.turning, s.adapter, kAdapter,
			      s.radio.radio == Radio::Stopping ? "StopDiscovery" : "StartDiscovery");
			break;
		case RadioCall::Inquire: {
			// What the socket heard before, the end of bluetoothd's
			// inquiry among it, is not the limited inquiry's.
			std::vector<Heard> before;
			bool begun = false;
			readInquiry(s.inquiry, before, begun);
			s.inquiryBegun = false;
			if (!startLimitedInquiry(s.inquiry, kLimitedLength)) {
				news = {};
				news.inquiry = InquiryEvent::Over;
				continue;
			}
			break;
		}
		case RadioCall::CancelInquiry:
			cancelInquiry(s.inquiry);
			break;
		}
		news = {};
	}
}

// The next device to bring in: one worth pairing, in range, on the
// adapter, and not resting; of those, the one tried longest ago (never
// tried: first), so that every remote pressed gets its turn whatever
// failed before it.
std::map<std::string, Device>::iterator nextToBringIn(BluezSearch &s, Time t)
{
	auto best = s.devices.end();
	Time bestTried = kNever;
	for (auto it = s.devices.begin(); it != s.devices.end(); ++it) {
		const std::string &path = it->first;
		const Device &d = it->second;
		auto tried = s.resting.find(path);
		Time triedAt = tried == s.resting.end() ? Time::min() : tried->second;
		// One heard by the limited inquiry is in range; one the search
		// reached for bluetoothd to add is connected already.
		bool heard = s.heard.count(d.address) > 0;
		if (d.adapter != s.adapter || (d.connected && !s.reaching.count(d.address)) || !(d.inRange || heard) ||
		    (tried != s.resting.end() && t < triedAt + kRetryAfter) || s.strangers.count(path) ||
		    (s.bringing && s.bringing->path == path))
			continue;
		if (!worthPairing(factsOf(d))) {
			if (misnamedLookalike(factsOf(d)) && toldMisnamed.insert(d.address).second)
				notice("il dispositivo \"" + d.name + "\" (" + d.address +
				       ") sembra un wiimote ma non ne ha il nome: il driver hid-wiimote prende solo "
				       "\"Nintendo RVL-CNT-01\" e \"Nintendo RVL-CNT-01-TR\", lasciato stare");
			continue;
		}
		if (best == s.devices.end() || triedAt < bestTried) {
			best = it;
			bestTried = triedAt;
		}
	}
	return best;
}

// Begins `next`'s turn.
void bringIn(BluezSearch &s, std::map<std::string, Device>::iterator next, Time t)
{
	Device &d = next->second;
	s.bringing = std::make_unique<BringIn>();
	BringIn &b = *s.bringing;
	b.path = next->first;
	b.device = &d;
	b.wasPaired = d.paired;
	b.retry = s.resting.count(b.path) > 0;
	b.began = t;
	if (d.paired) {
		// Paired before: judged by what BlueZ has read of it, as if paired
		// now.
		b.stage = BringIn::AwaitingId;
		b.until = t;
		b.noIdSince = Time::min() + kLateDeviceId;
		advance(s, t);
	} else {
		b.stage = BringIn::Pairing;
		await(s.bus, b.call, b.path, kDevice, "Pair");
	}
}

// When the search has next something to do that no message, answer or
// inquiry event will wake it for: the radio's turn over, a device reached
// or tried given up on, a Device ID asked for again, a turn's budget spent.
// What is past is not waited for: a turn held by a pairing, or kept to the
// end, moves on with the pairing's answer or not at all.
Time nextTimer(const BluezSearch &s, Time t)
{
	Time next = kNever;
	auto consider = [&](Time at) {
		if (at > t)
			next = std::min(next, at);
	};
	consider(turnEnds(s.radio));
	for (auto &[address, r] : s.reaching)
		consider(r.until);
	for (auto &[path, at] : s.resting)
		consider(at + kRetryAfter);
	if (s.bringing && s.bringing->stage == BringIn::AwaitingId)
		consider(t + kAskIdEvery);
	if (s.bringing)
		consider(s.bringing->began + kTurnBudget);
	return next;
}

} // namespace

void BluezSearchEnd::operator()(BluezSearch *s) const
{
	// A start still unanswered when the search ends at its deadline is said
	// as such; a search that ended early has found what it wanted.
	bool timedOut = now() >= s->deadline;
	if (timedOut && s->started == BluezSearch::Start::Discovery && !s->start.answered)
		cannotHelp("impossibile avviare la ricerca su " + s->adapter + " (bluetoothd non ha risposto in tempo)");
	else if (timedOut && s->started == BluezSearch::Start::Inventory && !s->start.answered)
		cannotHelp("bluetoothd non risponde (nessuna risposta in tempo)");
	if (s->radio.radio == Radio::Limited)
		cancelInquiry(s->inquiry);
	// What the search gives up on is cancelled in bluetoothd; nothing of
	// it is waited for (the bus is flushed as it closes).
	if (s->bringing && pairingUnderWay(*s->bringing))
		cancelPairing(s->bus, s->bringing->path);
	if (s->radio.discovering || s->radio.radio == Radio::Starting)
		tell(s->bus, s->adapter, kAdapter, "StopDiscovery");
	delete s;
}

std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(const std::string &sysRoot, Time deadline,
                                                              bool bindsWithoutId)
{
	// Without a controller the kernel knows, bluetoothd has nothing to
	// search with (Debian's unit does not even start it).
	if (entries(sysRoot + "/class/bluetooth").empty()) {
		cannotHelp("nessun adattatore Bluetooth su questa macchina: giocano solo i wiimote già collegati");
		return nullptr;
	}
	std::unique_ptr<BluezSearch, BluezSearchEnd> s(new BluezSearch);
	s->bindsWithoutId = bindsWithoutId;
	s->sysRoot = sysRoot;
	sd_bus *bus = nullptr;
	int rc = sd_bus_open_system(&bus);
	s->bus.bus.reset(bus);
	if (rc < 0) {
		cannotHelp(std::string("impossibile raggiungere il bus di sistema: ") + std::strerror(-rc));
		return nullptr;
	}
	s->deadline = s->bus.callsUntil = deadline;
	// Signals first, so nothing said after the inventory is missed.
	sd_bus_slot *slot = nullptr;
	if (sd_bus_match_signal_async(bus, &slot, kService, nullptr, "org.freedesktop.DBus.ObjectManager",
	                              "InterfacesAdded", onInterfacesAdded, nullptr, s.get()) >= 0)
		s->added.reset(slot);
	if (sd_bus_match_signal_async(bus, &slot, kService, nullptr, "org.freedesktop.DBus.Properties",
	                              "PropertiesChanged", onPropertiesChanged, nullptr, s.get()) >= 0)
		s->changed.reset(slot);
	if (!send(s->bus, newCall(s->bus, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"), &slot,
	          onInventory, s.get())) {
		cannotHelp("bluetoothd non risponde (impossibile chiedergli i dispositivi)");
		return nullptr;
	}
	s->start.slot.reset(slot);
	return s;
}

void stepBluezSearch(BluezSearch &s, Time until, Time deadline, int room, int wake)
{
	// A call begun before the deadline is seen through a while longer.
	s.bus.callsUntil = deadline + kBluezCallGrace;
	sd_bus *bus = s.bus.bus.get();
	// What BlueZ has said so far, then until `until` at most for more; the
	// wait is spent even when there is nothing to do, or no bus left to do
	// it on.
	bool woken = false;
	for (;;) {
		int rc;
		while ((rc = sd_bus_process(bus, nullptr)) > 0) {
		}
		Time t = now();
		if (s.started != BluezSearch::Start::Done && !advanceStart(s, t))
			s.failed = true;
		if (s.bringing && (rc < 0 || t >= s.bus.callsUntil))
			finish(s, false, t);
		if (s.bringing && advance(s, t))
			--room;
		bool started = s.started == BluezSearch::Start::Done && !s.failed;
		if (rc >= 0 && started)
			turnRadio(s, t, deadline);
		// A turn that has had its time gives way to a device that has not
		// had one yet; one that has not is not looked past.
		bool mayBegin = rc >= 0 && started && room > 0 && t < deadline && (!s.bringing || cutShort(*s.bringing, t));
		auto next = mayBegin ? nextToBringIn(s, t) : s.devices.end();
		if (next != s.devices.end() && s.bringing && !s.resting.count(next->first))
			finish(s, false, t);
		if (next != s.devices.end() && !s.bringing)
			bringIn(s, next, t);
		if (t >= until || woken)
			break;
		int events = rc < 0 ? -1 : sd_bus_get_events(bus);
		pollfd p[3] = {{sd_bus_get_fd(bus), static_cast<short>(events < 0 ? 0 : events), 0},
		               {s.radio.radio == Radio::Limited ? s.inquiry.fd : -1, POLLIN, 0},
		               {wake, POLLIN, 0}};
		uint64_t timeout = UINT64_MAX;
		Time wakeAt = until;
		if (rc >= 0 && sd_bus_get_timeout(bus, &timeout) >= 0 && timeout != UINT64_MAX) {
			// sd-bus's own timeouts (a call's) are in CLOCK_MONOTONIC, as
			// the steady clock is.
			Time busWake{std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(timeout))};
			wakeAt = std::min(wakeAt, busWake);
		}
		wakeAt = std::min(wakeAt, nextTimer(s, t));
		if (rc < 0 || p[0].fd < 0 || events < 0 || s.failed) {
			sleepUntil(until);
			break;
		}
		// What woke it is seen to before the turn ends.
		woken = waitUntil(p, 3, wakeAt) > 0 && (p[2].revents & POLLIN);
	}
}

int awaitingBind(BluezSearch &s, const std::set<std::string> &bound, Time t)
{
	int n = 0;
	for (auto it = s.awaiting.begin(); it != s.awaiting.end();) {
		if (t >= it->second) {
			it = s.awaiting.erase(it);
			continue;
		}
		n += !bound.count(it->first);
		++it;
	}
	return n;
}

Time nextBindDue(const BluezSearch &s)
{
	Time next = kNever;
	for (auto &[address, until] : s.awaiting)
		next = std::min(next, until);
	return next;
}

bool owesRemotes(const BluezSearch &s, Time t)
{
	return s.bringing || std::any_of(s.awaiting.begin(), s.awaiting.end(),
	                                 [t](const auto &a) { return t < a.second; });
}

void tookRemote(BluezSearch &s, const std::string &uniq, bool answered)
{
	s.awaiting.erase(uniq);
	auto it = s.lookalikes.find(uniq);
	if (it == s.lookalikes.end() || !answered)
		return;
	setTrusted(s.bus, it->second, true);
	s.lookalikes.erase(it);
}

bool bluetoothFailed(const BluezSearch &s)
{
	return s.failed;
}

} // namespace wiiuse_linux
