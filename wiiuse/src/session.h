// One search's session with BlueZ, shared by the executor's rooms: what it
// holds, and how its calls go out.
#ifndef WIIUSE_SESSION_H
#define WIIUSE_SESSION_H

#include "bluez.h"
#include "devices.h"
#include "radio.h"
#include "trustrecord.h"
#include "turn.h"

#include <vector>

namespace wiiuse_linux {

// A bluetoothd that could not answer the inventory is asked again this
// often.
constexpr Ms kAskAgain{1000};

enum class Start {
	Asking, // the inventory asked for
	Ready,  // an adapter to search with
	Failed, // Bluetooth cannot help (said)
	Absent, // no bluetoothd, or no adapter powered (said): asked again at
	        // `startDue`, as bluetoothd comes, or as an adapter does
};

struct BluezSearch {
	BusPort bus;
	HciPort hci;
	Start start = Start::Asking;
	uint64_t startCall = 0;
	Time startDue = kNever;
	bool comingBack = false; // bluetoothd went (said): its absence is not said again
	bool inventoried = false; // a bluetoothd answered the inventory: its going is said
	std::string adapter, adapterAddress;
	Peers peers;
	RadioState radio;
	uint64_t radioCall = 0; // StartDiscovery
	RadioNews news;         // what came of the radio's calls, for its next step
	Socket inquiry;
	bool inquiryBegun = false;
	TurnContext context;
	Time deadline;
	std::string sysRoot;
	TrustRecord record;
	bool lost = false;              // the bus itself
	uint64_t unsent = UINT64_MAX;   // numbers of calls that could not be sent
	std::vector<BusEvent> answered; // their answers, given at the next step
};

// Sends `calls`; the one awaited becomes `p`'s turn's call (none: it is
// returned). One that cannot be sent is answered at once, as an error.
uint64_t send(BluezSearch &s, std::vector<BusCall> &calls, Peer *p = nullptr);
void tell(BluezSearch &s, BusCall call);
void forget(Peers &peers, const Peer &p);

// The start (start.cpp): the inventory asked for, and taken; a device the
// library trusted judged anew; bluetoothd gone.
void ask(BluezSearch &s);
void takeInventory(BluezSearch &s, const BusEvent &e, Time t);
void judgeTrust(BluezSearch &s, Peer &p);
void forgetBluetoothd(BluezSearch &s, const std::string &why);
// The adapter is switched off (bluetoothd stopping, or by hand): the radio
// rests, and the start is asked again, quietly, until it is on.
void pauseAdapter(BluezSearch &s, Time t);

// The radio's calls carried out (radiocalls.cpp): what the limited inquiry
// heard, then the radio's step.
void listen(BluezSearch &s, Time t);
// A page's connection made (or not), as `revents` of its socket say.
void paged(BluezSearch &s, const Peer &page, short revents);
void turnRadio(BluezSearch &s, Time t, Time deadline);

} // namespace wiiuse_linux

#endif
