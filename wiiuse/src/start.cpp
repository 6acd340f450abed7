#include "notices.h"
#include "session.h"
#include "sysfs.h"

namespace wiiuse_linux {

// A device the library trusted that no longer presents itself as a remote
// loses its trust and its pairing, said once. With no record of what it
// trusted, any trusted device that may be its is judged.
void judgeTrust(BluezSearch &s, Peer &p)
{
	if (!p.d.trusted || p.path.empty() || p.d.adapter != s.adapter)
		return;
	// Only a trusted device's driver is looked for in sysfs.
	Facts f = factsOf(p.d, hidDriverOf(s.sysRoot, lower(p.d.address)));
	bool ours = s.record.read ? s.record.addresses.count(p.d.address) > 0 : mayBeOurs(f);
	if (!ours || presentsAsRemote(f))
		return;
	tell(s, {BusCall::Trust, p.path, "", false});
	tell(s, {BusCall::Remove, s.adapter, p.path});
	p.d.trusted = p.d.paired = false;
	p.stage = Stage::Stranger;
	forfeited(p.d.name, p.d.address);
	if (s.record.addresses.erase(p.d.address))
		writeTrustRecord(s.record);
}

void ask(BluezSearch &s)
{
	std::vector<BusCall> calls{{BusCall::Inventory, "/"}};
	calls[0].awaited = true;
	s.start = Start::Asking;
	s.startCall = send(s, calls);
}

// The adapters and devices BlueZ has: the first powered adapter is searched
// with.
void takeInventory(BluezSearch &s, const BusEvent &e, Time t)
{
	s.startCall = 0;
	s.startDue = kNever;
	if (!e.error.empty()) {
		// Not there, or not ready yet (just started): asked again soon.
		s.start = Start::Absent;
		s.startDue = t + kAskAgain;
		if (!s.comingBack)
			cannotHelp("bluetoothd non risponde (" + e.message + ")");
		return;
	}
	s.inventoried = true;
	s.adapter.clear();
	for (auto &[path, a] : e.inventory.adapters)
		if (a.powered) {
			s.adapter = s.context.adapter = path;
			s.adapterAddress = a.address;
			break;
		}
	if (s.adapter.empty()) {
		s.start = Start::Absent; // until an adapter comes, or is powered
		if (!s.comingBack)
			cannotHelp(e.inventory.adapters.empty()
		           ? "nessun adattatore Bluetooth"
		           : "l'adattatore " + e.inventory.adapters.begin()->first + " è spento (bluetoothctl power on)");
		return;
	}
	s.start = Start::Ready;
	s.comingBack = false;
	for (auto &[path, d] : e.inventory.devices) {
		if (d.adapter != s.adapter)
			continue;
		Peer &p = report(s.peers, path, Props{}, false);
		std::string address = p.d.address;
		p.d = d;
		p.d.address = address;
	}
	for (auto it = s.peers.begin(); it != s.peers.end();)
		it = it->second.d.adapter != s.adapter ? s.peers.erase(it) : std::next(it);
	for (auto &[address, p] : s.peers)
		judgeTrust(s, p);
}

namespace {

// The radio stops, and starts again from nothing with the next start: the
// controller's socket is opened anew; where the inquiry could not run, it
// still cannot.
void restRadio(BluezSearch &s)
{
	if (s.radio.radio == Radio::Limited)
		cancelInquiry(s.inquiry);
	bool noInquiry = s.radio.noInquiry;
	s.radio = RadioState{};
	s.radio.noInquiry = noInquiry;
	s.inquiry = Socket();
	s.radioCall = 0;
}

} // namespace

void pauseAdapter(BluezSearch &s, Time t)
{
	restRadio(s);
	s.start = Start::Absent;
	s.startDue = t + kAskAgain;
	s.comingBack = true;
}

// bluetoothd has gone, with all it knew: the search waits for the next one.
void forgetBluetoothd(BluezSearch &s, const std::string &why)
{
	if (!why.empty() && s.inventoried)
		bluetoothdGone(why);
	s.inventoried = false;
	restRadio(s);
	s.peers.clear();
	// The next bluetoothd's adapter is judged anew.
	s.startCall = 0;
	s.adapter.clear();
	s.start = Start::Absent;
	s.startDue = kNever; // asked when it is back
	s.comingBack = true;
}

void tookRemote(BluezSearch &s, const std::string &uniq, bool answered)
{
	Peer *p = byUniq(s.peers, uniq);
	if (!p)
		return;
	if (p->stage == Stage::Awaiting) {
		p->stage = Stage::Idle;
		p->due = kNever;
	}
	// Only a device paired by the search, or before it: one connected
	// without a pairing has nothing to be trusted with.
	if (!answered || !p->d.paired || !presentsAsRemote(factsOf(p->d, "wiimote")))
		return;
	// One the search connected is trusted now; one trusted before that
	// plays is the library's to judge from now on as well.
	bool trustNow = p->connectedHere && !p->d.trusted;
	p->connectedHere = false;
	if (trustNow)
		tell(s, {BusCall::Trust, p->path, "", true});
	else if (!p->d.trusted)
		return;
	p->d.trusted = true;
	if (s.record.addresses.insert(p->d.address).second)
		writeTrustRecord(s.record);
}

} // namespace wiiuse_linux
