// The devices a search knows, one record each under one key (its address
// as BlueZ writes it): what BlueZ says of it, where it stands in the search,
// and its one due time.
#ifndef WIIUSE_DEVICES_H
#define WIIUSE_DEVICES_H

#include "bringin.h"
#include "clock.h"
#include "inquiry.h"
#include "objects.h"

#include <map>
#include <string>

namespace wiiuse_linux {

enum class Stage {
	Idle,     // may have a turn
	Reaching, // heard by the limited inquiry, unknown to bluetoothd: paged until `due`, for it to add it
	Turn,     // being brought in (`turn`)
	Resting,  // its turn failed: may have one again at `due`
	Stranger, // not a remote the driver takes: left alone for the rest of the search
	Awaiting, // connected by the search: awaited until `due` for the driver to bind it
};

struct Peer {
	std::string path; // BlueZ's object; empty while only heard
	Device d;
	Stage stage = Stage::Idle;
	Time due = kNever;
	Time lastTurn = Time::min(); // when its last turn in this search ended (min: none)
	bool heard = false;          // it answered the limited inquiry: in range
	bool connectedHere = false;  // trusted once the driver has bound it and it has answered
	Socket page;                 // Reaching: the connection that makes bluetoothd add it
	bool paging = false;         // that connection is still being made
	BringIn turn;                // Turn
};

using Peers = std::map<std::string, Peer>; // by address, as BlueZ writes it

Peer *byPath(Peers &peers, const std::string &path);
// As sysfs writes a HID device's uniq.
Peer *byUniq(Peers &peers, const std::string &uniq);

// An object BlueZ reports, new to the search (`fresh`: judged from nothing,
// an earlier object at its address forgotten) or not.
Peer &report(Peers &peers, const std::string &path, const Props &props, bool fresh);

// The device being brought in, if any.
Peer *inTurn(Peers &peers);

// Whether the radio is held: a device being paged, by the search to have
// bluetoothd add it, or by bluetoothd to pair or connect it; inquiries go
// on while a pairing runs over a link already up, so that a remote pressed
// meanwhile is heard.
bool holdingRadio(const Peers &peers);

// The earliest due time of them all.
Time nextDue(const Peers &peers);

// The next device to have a turn at `t`: one worth pairing, known to
// bluetoothd on `adapter`, in range, not connected (unless the search
// paged it), not resting; of those, the one whose last turn is longest ago
// (none: first), so every remote pressed gets its turn whatever failed
// before it. A device made as a remote under another name is said once.
Peer *nextTurn(Peers &peers, const std::string &adapter, Time t);

} // namespace wiiuse_linux

#endif
