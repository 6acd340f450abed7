#include "devices.h"

#include "notices.h"

#include <algorithm>

namespace wiiuse_linux {

namespace {

// "/org/bluez/hci0/dev_00_19_1D_00_00_01": "00:19:1D:00:00:01".
std::string addressOf(const std::string &path)
{
	size_t at = path.rfind("/dev_");
	std::string a = at == std::string::npos ? path : path.substr(at + 5);
	std::replace(a.begin(), a.end(), '_', ':');
	return a;
}

} // namespace

Peer *byPath(Peers &peers, const std::string &path)
{
	for (auto &[address, p] : peers)
		if (p.path == path)
			return &p;
	return nullptr;
}

Peer *byUniq(Peers &peers, const std::string &uniq)
{
	for (auto &[address, p] : peers)
		if (lower(address) == uniq)
			return &p;
	return nullptr;
}

Peer &report(Peers &peers, const std::string &path, const Props &props, bool fresh)
{
	std::string address = props.address ? *props.address : addressOf(path);
	Peer &p = peers[address];
	if (fresh && !p.path.empty()) {
		p = Peer{};
	} else if (fresh) {
		// Heard and paged before bluetoothd added it: what BlueZ says
		// now is all that is known of it.
		p.d = Device{};
	}
	p.path = path;
	apply(props, p.d);
	p.d.address = address;
	return p;
}

Peer *inTurn(Peers &peers)
{
	for (auto &[address, p] : peers)
		if (p.stage == Stage::Turn)
			return &p;
	return nullptr;
}

bool holdingRadio(const Peers &peers)
{
	return std::any_of(peers.begin(), peers.end(), [](const auto &e) {
		const Peer &p = e.second;
		// The search's own page, or bluetoothd's for a pairing or a
		// connection until the link is up.
		return (p.stage == Stage::Reaching && p.paging) ||
		       (p.stage == Stage::Turn && !p.d.connected && p.turn.stage != BringIn::AwaitingId);
	});
}

Time nextDue(const Peers &peers)
{
	Time next = kNever;
	for (auto &[address, p] : peers)
		next = std::min(next, p.due);
	return next;
}

Peer *nextTurn(Peers &peers, const std::string &adapter, Time t)
{
	Peer *best = nullptr;
	for (auto &[address, p] : peers) {
		const Device &d = p.d;
		bool paged = p.stage == Stage::Reaching;
		if (p.path.empty() || d.adapter != adapter || !(p.stage == Stage::Idle || paged) ||
		    (d.connected && !paged) || !(d.inRange || p.heard) || (p.stage == Stage::Resting && t < p.due))
			continue;
		Facts f = factsOf(d);
		if (!worthPairing(f)) {
			if (misnamedLookalike(f))
				misnamed(d.name, d.address);
			continue;
		}
		if (!best || p.lastTurn < best->lastTurn)
			best = &p;
	}
	return best;
}

} // namespace wiiuse_linux
