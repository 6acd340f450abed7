// A device's turn, one step at a time: the bring-in's decisions (bringin.h)
// over the device's record, from what BlueZ answers and the clock. Each
// step says the calls to make; the executor makes them.
#ifndef WIIUSE_TURN_H
#define WIIUSE_TURN_H

#include "devices.h"
#include "ports.h"

#include <vector>

namespace wiiuse_linux {

enum class TurnEnd {
	Going,     // not over
	Connected, // awaited for the driver to bind it
	Failed,    // rests, and may have another turn
	Refused,   // the same, and the SYNC button is to be suggested
	Lost,      // the same, bluetoothd's fault: said as its
	Left,      // not a remote the driver takes: a stranger, unpaired if paired here
	Rule,      // the same, and the root step for remotes with no Device ID is to be said
};

struct TurnContext {
	std::string adapter;
	Time callsUntil;     // a call unanswered then is given up
	bool bindsWithoutId; // this machine's udev binds remotes with no Device ID
};

// Begins `p`'s turn at `t`.
TurnEnd beginTurn(Peer &p, const TurnContext &c, Time t, std::vector<BusCall> &calls);

// Takes the turn on at `t`: with `answer` if it is the one awaited, with a
// Device ID BlueZ signalled, or as a time falls due.
TurnEnd stepTurn(Peer &p, const BusEvent *answer, const TurnContext &c, Time t, std::vector<BusCall> &calls);

// Ends the turn as `end` says: a pairing under way is cancelled, a stranger
// paired here unpaired.
void endTurn(Peer &p, TurnEnd end, const TurnContext &c, Time t, std::vector<BusCall> &calls);

// The turn's next due time after `t`: a call given up, a Device ID no
// longer awaited, its budget spent.
Time turnDue(const Peer &p, const TurnContext &c, Time t);

} // namespace wiiuse_linux

#endif
