#include "turn.h"

#include <algorithm>

namespace wiiuse_linux {

namespace {

void await(BringIn &b, std::vector<BusCall> &calls, BusCall::Method m, const std::string &path)
{
	BusCall call{m, path};
	call.awaited = true;
	calls.push_back(call);
	b.call = 0; // the executor sets it once sent
}

// Once paired, or paired before: what it says it is decides, as soon as it
// is known, whether it is connected.
TurnEnd decideOn(Peer &p, const TurnContext &c, Time t, std::vector<BusCall> &calls)
{
	BringIn &b = p.turn;
	Kind kind = kindOf(factsOf(p.d));
	if (p.d.modalias.empty() && p.d.hid && b.noIdSince == kNever)
		b.noIdSince = t;
	// Once BlueZ has read all its services, no Device ID is to come.
	switch (decide(b, kind, p.d.modalias.empty() && !p.d.resolved, t, c.bindsWithoutId)) {
	case Decision::Wait:
		return TurnEnd::Going;
	case Decision::Connect:
		b.stage = BringIn::Connecting;
		await(b, calls, BusCall::Connect, p.path);
		return TurnEnd::Going;
	case Decision::NeedsRule:
		return TurnEnd::Rule;
	case Decision::Leave:
		return TurnEnd::Left;
	case Decision::PairAgain:
		calls.push_back({BusCall::Remove, c.adapter, p.path});
		p.d.paired = false;
		return TurnEnd::Failed;
	}
	return TurnEnd::Going;
}

} // namespace

TurnEnd beginTurn(Peer &p, const TurnContext &c, Time t, std::vector<BusCall> &calls)
{
	p.stage = Stage::Turn;
	p.turn = BringIn{};
	BringIn &b = p.turn;
	b.wasPaired = p.d.paired;
	b.retry = p.lastTurn != Time::min();
	b.began = t;
	if (!p.d.paired) {
		await(b, calls, BusCall::Pair, p.path);
		return TurnEnd::Going;
	}
	// Paired before: judged by what BlueZ has read of it, as if paired now.
	b.stage = BringIn::AwaitingId;
	b.until = t;
	b.noIdSince = Time::min() + kLateDeviceId;
	return decideOn(p, c, t, calls);
}

TurnEnd stepTurn(Peer &p, const BusEvent *answer, const TurnContext &c, Time t, std::vector<BusCall> &calls)
{
	BringIn &b = p.turn;
	if (answer && (!b.call || answer->call != b.call))
		answer = nullptr;
	if (b.stage == BringIn::AwaitingId) {
		// An answer's Device ID is taken once: a later change BlueZ
		// signals is not overwritten by it.
		if (answer) {
			b.call = 0;
			if (!answer->value.empty())
				p.d.modalias = answer->value;
		}
		return decideOn(p, c, t, calls);
	}
	bool givenUp = b.call && !answer && t >= c.callsUntil;
	if (!answer && !givenUp)
		return TurnEnd::Going;
	std::string error = answer ? answer->error : "org.freedesktop.DBus.Error.Timeout";
	b.error = error;
	b.call = 0;
	if (b.stage == BringIn::Connecting) {
		if (connectedBy(error)) {
			// Its Device ID may have changed while it connected: it stays
			// only as what the driver takes.
			if (!mayConnect(kindOf(factsOf(p.d)), c.bindsWithoutId)) {
				calls.push_back({BusCall::Disconnect, p.path});
				return TurnEnd::Left;
			}
			return TurnEnd::Connected;
		}
		if (bluetoothdsFault(error) || objectGone(error))
			return TurnEnd::Lost;
		return b.wasPaired ? TurnEnd::Failed : TurnEnd::Refused;
	}
	switch (afterPairing(error, kindOf(factsOf(p.d)))) {
	case Paired::Lost:
		return TurnEnd::Lost;
	case Paired::Yes:
		p.d.modalias.clear(); // as it is now that it is paired: asked anew
		b.pairedHere = true;
		[[fallthrough]];
	case Paired::Before:
		p.d.paired = true;
		b.stage = BringIn::AwaitingId;
		b.until = t + kServicesWait;
		await(b, calls, BusCall::AskModalias, p.path);
		return decideOn(p, c, t, calls);
	case Paired::GivenUp:
		calls.push_back({BusCall::CancelPairing, p.path});
		return TurnEnd::Failed;
	case Paired::ConnectAnyway:
		b.stage = BringIn::Connecting;
		await(b, calls, BusCall::Connect, p.path);
		return TurnEnd::Going;
	case Paired::Refused:
		return TurnEnd::Refused;
	}
	return TurnEnd::Going;
}

void endTurn(Peer &p, TurnEnd end, const TurnContext &c, Time t, std::vector<BusCall> &calls)
{
	if (pairingUnderWay(p.turn))
		calls.push_back({BusCall::CancelPairing, p.path});
	p.turn.call = 0;
	p.page = Socket();
	p.paging = false;
	p.lastTurn = t;
	switch (end) {
	case TurnEnd::Connected:
		p.stage = Stage::Awaiting;
		p.due = t + kDriverBindGrace;
		p.connectedHere = true;
		p.d.connected = true;
		p.heard = false;
		return;
	case TurnEnd::Left:
	case TurnEnd::Rule:
		if (p.turn.pairedHere)
			calls.push_back({BusCall::Remove, c.adapter, p.path});
		p.stage = Stage::Stranger;
		p.due = kNever;
		return;
	default:
		p.stage = Stage::Resting;
		p.due = t + kRetryAfter;
		return;
	}
}

Time turnDue(const Peer &p, const TurnContext &c, Time t)
{
	const BringIn &b = p.turn;
	Time due = kNever;
	auto consider = [&](Time at) {
		if (at > t)
			due = std::min(due, at);
	};
	if (b.call)
		consider(c.callsUntil);
	if (b.stage == BringIn::AwaitingId) {
		consider(b.until);
		if (b.noIdSince != kNever)
			consider(b.noIdSince + kLateDeviceId);
	}
	consider(b.began + kTurnBudget);
	return due;
}

} // namespace wiiuse_linux
