#include "bluez.h"

#include "notices.h"
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace wiiuse_linux {

void forget(Peers &peers, const Peer &p)
{
	std::string address = p.d.address;
	peers.erase(address);
}

// Sends `calls`; the one awaited becomes `p`'s turn's call, or the radio's.
// One that cannot be sent is answered at once, as an error.
uint64_t send(BluezSearch &s, std::vector<BusCall> &calls, Peer *p)
{
	uint64_t awaited = 0;
	for (const BusCall &c : calls) {
		uint64_t id = s.lost ? 0 : s.bus.call(c);
		if (!c.awaited) {
			if (id)
				s.bus.forget(id);
			continue;
		}
		if (!id) {
			id = s.unsent--;
			BusEvent e{BusEvent::Answer};
			e.call = id;
			e.error = "org.freedesktop.DBus.Error.NoReply";
			e.message = "impossibile inviare la richiesta";
			s.answered.push_back(e);
		}
		awaited = id;
		if (p)
			p->turn.call = id;
	}
	calls.clear();
	return awaited;
}

void tell(BluezSearch &s, BusCall call)
{
	std::vector<BusCall> calls{std::move(call)};
	send(s, calls);
}

namespace {

// The turn ends as `end` says. True when its remote was connected.
bool finishTurn(BluezSearch &s, Peer &p, TurnEnd end, Time t)
{
	std::vector<BusCall> calls;
	endTurn(p, end, s.context, t, calls);
	send(s, calls, &p);
	if (end == TurnEnd::Refused)
		hintSync(p.d.name.empty() ? p.d.address : p.d.name, p.turn.error);
	else if (end == TurnEnd::Rule)
		needsRule(p.d.name, p.d.address);
	else if (end == TurnEnd::Lost && objectGone(p.turn.error))
		forget(s.peers, p); // removed: never tried again
	else if (end == TurnEnd::Lost)
		bluetoothdGone(p.turn.error);
	return end == TurnEnd::Connected;
}

bool carryOn(BluezSearch &s, Peer &p, TurnEnd end, std::vector<BusCall> &calls, Time t)
{
	send(s, calls, &p);
	if (end != TurnEnd::Going)
		return finishTurn(s, p, end, t);
	p.due = turnDue(p, s.context, t);
	return false;
}

// One event from the bus. True when a remote was connected.
bool take(BluezSearch &s, const BusEvent &e, Time t)
{
	std::vector<BusCall> calls;
	switch (e.kind) {
	case BusEvent::Answer:
		if (e.call == s.startCall && s.start == Start::Asking) {
			takeInventory(s, e, t);
		} else if (e.call == s.radioCall) {
			s.radioCall = 0;
			s.news.answered = true;
			s.news.ok = e.error.empty() || e.error == "org.bluez.Error.InProgress";
			if (!s.news.ok) {
				s.start = Start::Failed;
				cannotHelp("impossibile avviare la ricerca su " + s.adapter + " (" + e.message + ")");
			}
		} else if (Peer *p = inTurn(s.peers); p && p->turn.call == e.call) {
			return carryOn(s, *p, stepTurn(*p, &e, s.context, t, calls), calls, t);
		}
		return false;
	case BusEvent::Added:
		// An adapter comes (bluetoothd just started), or is powered.
		if (e.adapter && s.start == Start::Absent && e.props.powered.value_or(false))
			ask(s);
		if (e.device && (s.start != Start::Ready || (e.props.adapter && *e.props.adapter == s.adapter))) {
			Peer &p = report(s.peers, e.path, e.props, true);
			judgeTrust(s, p);
		}
		return false;
	case BusEvent::Removed:
		if (Peer *p = e.device ? byPath(s.peers, e.path) : nullptr) {
			forget(s.peers, *p); // with its turn: nothing left to cancel
		}
		return false;
	case BusEvent::Changed:
		if (s.start == Start::Absent && e.props.powered.value_or(false))
			ask(s);
		else if (s.start == Start::Ready && e.path == s.adapter && !e.props.powered.value_or(true))
			pauseAdapter(s, t);
		if (Peer *p = byPath(s.peers, e.path)) {
			apply(e.props, p->d);
			// A Device ID awaited comes with BlueZ's signal.
			if (p->stage == Stage::Turn && p->turn.stage == BringIn::AwaitingId)
				return carryOn(s, *p, stepTurn(*p, nullptr, s.context, t, calls), calls, t);
		}
		return false;
	case BusEvent::Gone:
		forgetBluetoothd(s, "bluetoothd si è chiuso");
		return false;
	case BusEvent::Back:
		if (s.start == Start::Absent)
			ask(s);
		return false;
	}
	return false;
}

// What falls due at `t`. True when a remote was connected.
bool due(BluezSearch &s, Time t)
{
	bool connected = false;
	for (auto it = s.peers.begin(); it != s.peers.end();) {
		Peer &p = it->second;
		++it;
		if (p.due > t)
			continue;
		std::vector<BusCall> calls;
		switch (p.stage) {
		case Stage::Turn:
			connected |= carryOn(s, p, stepTurn(p, nullptr, s.context, t, calls), calls, t);
			break;
		case Stage::Reaching: // not added in time: heard anew by a later inquiry
			if (p.path.empty()) {
				forget(s.peers, p);
				break;
			}
			[[fallthrough]];
		default:
			p.page = Socket();
			p.paging = false;
			p.stage = p.stage == Stage::Stranger ? Stage::Stranger : Stage::Idle;
			p.due = kNever;
		}
	}
	return connected;
}

// Who goes next: a turn begins while there is room, before the deadline;
// one that has had its budget, or is a retry, gives way to a device that
// has not had a turn yet. True when a remote was connected.
bool schedule(BluezSearch &s, Time t, Time deadline, int room)
{
	bool connected = false;
	for (size_t tries = s.peers.size(); tries-- > 0 && room > 0 && t < deadline;) {
		Peer *current = inTurn(s.peers);
		if (current && !cutShort(current->turn, t))
			break;
		Peer *next = nextTurn(s.peers, s.adapter, t);
		if (!next || (current && next->lastTurn != Time::min()))
			break;
		if (current)
			finishTurn(s, *current, TurnEnd::Failed, t);
		std::vector<BusCall> calls;
		TurnEnd end = beginTurn(*next, s.context, t, calls);
		if (carryOn(s, *next, end, calls, t)) {
			connected = true;
			--room;
		}
		if (end == TurnEnd::Going)
			break;
	}
	return connected;
}

} // namespace

void BluezSearchEnd::operator()(BluezSearch *s) const
{
	// A start still unanswered when the search ends at its deadline is said
	// as such; a search that ended early has found what it wanted.
	bool timedOut = now() >= s->deadline;
	if (timedOut && s->start == Start::Asking)
		cannotHelp("bluetoothd non risponde (nessuna risposta in tempo)");
	else if (timedOut && s->start == Start::Ready && s->radio.radio == Radio::Starting)
		cannotHelp("impossibile avviare la ricerca su " + s->adapter + " (bluetoothd non ha risposto in tempo)");
	if (s->radio.radio == Radio::Limited)
		cancelInquiry(s->inquiry);
	// What the search gives up on is cancelled in bluetoothd; nothing of
	// it is waited for (the bus is flushed as it closes).
	if (Peer *p = inTurn(s->peers); p && pairingUnderWay(p->turn))
		tell(*s, {BusCall::CancelPairing, p->path});
	if (s->radio.discovering || s->radio.radio == Radio::Starting)
		tell(*s, {BusCall::StopDiscovery, s->adapter});
	delete s;
}

std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(BusPort bus, HciPort hci, const std::string &sysRoot,
                                                              Time deadline, bool bindsWithoutId)
{
	std::unique_ptr<BluezSearch, BluezSearchEnd> s(new BluezSearch);
	s->bus = std::move(bus);
	s->hci = std::move(hci);
	s->sysRoot = sysRoot;
	s->deadline = deadline;
	s->context.callsUntil = deadline + kBluezCallGrace;
	s->context.bindsWithoutId = bindsWithoutId;
	s->record = readTrustRecord();
	ask(*s);
	if (!s->startCall || s->startCall > s->unsent) {
		cannotHelp("bluetoothd non risponde (impossibile chiedergli i dispositivi)");
		s->start = Start::Failed;
	}
	return s;
}

void stepBluezSearch(BluezSearch &s, Time until, Time deadline, int room, const std::vector<pollfd> &wakes)
{
	// A call begun before the deadline is seen through a while longer.
	s.context.callsUntil = deadline + kBluezCallGrace;
	bool woken = false;
	for (;;) {
		std::vector<BusEvent> events;
		events.swap(s.answered);
		if (!s.lost && !s.bus.take(events)) {
			// Nothing can come back on a bus that is gone.
			s.lost = true;
			forgetBluetoothd(s, "");
			cannotHelp("il bus di sistema si è chiuso durante la ricerca");
		}
		Time t = now();
		for (const BusEvent &e : events)
			room -= take(s, e, t);
		if (s.start == Start::Absent && t >= s.startDue && !s.lost)
			ask(s);
		room -= due(s, t);
		listen(s, t);
		if (s.start == Start::Ready)
			room -= schedule(s, t, deadline, room);
		if (s.start == Start::Ready || s.news.answered)
			turnRadio(s, t, deadline);
		if (t >= until || woken)
			break;
		if (!s.answered.empty())
			continue;
		// The bus, the inquiry, the caller's wakes, and the pages under way.
		std::vector<pollfd> p = {{-1, 0, 0}, {-1, POLLIN, 0}};
		p.insert(p.end(), wakes.begin(), wakes.end());
		std::vector<const Peer *> pages;
		Time wakeAt = std::min({until, nextDue(s.peers), s.start == Start::Absent ? s.startDue : kNever});
		if (!s.lost) {
			Time busDue = kNever;
			s.bus.waitOn(p[0], busDue);
			wakeAt = std::min(wakeAt, std::max(busDue, t));
		}
		bool inquiring = s.radio.radio == Radio::Limited || s.radio.radio == Radio::Cancelling;
		if (inquiring) {
			p[1].fd = s.inquiry.fd;
			wakeAt = std::min(wakeAt, s.radio.due);
		}
		for (auto &[address, peer] : s.peers)
			if (peer.paging) {
				p.push_back({peer.page.fd, POLLOUT, 0});
				pages.push_back(&peer);
			}
		// What woke it is seen to before the step ends.
		bool any = waitUntil(p.data(), p.size(), std::max(wakeAt, t)) > 0;
		woken = any && std::any_of(p.begin() + 2, p.begin() + 2 + wakes.size(),
		                           [](const pollfd &w) { return w.revents & POLLIN; });
		for (size_t i = 0; i < pages.size(); ++i)
			paged(s, *pages[i], p[2 + wakes.size() + i].revents);
	}
}

int awaitingBind(BluezSearch &s, const std::set<std::string> &bound, Time t)
{
	int n = 0;
	for (auto &[address, p] : s.peers)
		n += p.stage == Stage::Awaiting && t < p.due && !bound.count(lower(address));
	return n;
}

Time nextBindDue(const BluezSearch &s)
{
	Time next = kNever;
	for (auto &[address, p] : s.peers)
		if (p.stage == Stage::Awaiting)
			next = std::min(next, p.due);
	return next;
}

bool owesRemotes(const BluezSearch &s, Time t)
{
	return std::any_of(s.peers.begin(), s.peers.end(), [t](const auto &e) {
		return e.second.stage == Stage::Turn || (e.second.stage == Stage::Awaiting && t < e.second.due);
	});
}

bool bluetoothFailed(const BluezSearch &s)
{
	return s.start == Start::Failed || s.start == Start::Absent;
}

} // namespace wiiuse_linux
