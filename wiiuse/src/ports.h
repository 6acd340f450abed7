// What the search reaches the world through, handed to it rather than
// opened by it: BlueZ on a bus, as typed calls and events, and the
// controller's HCI sockets. The system's own are made here; the tests hand
// in simulated ones.
#ifndef WIIUSE_PORTS_H
#define WIIUSE_PORTS_H

#include "clock.h"
#include "inquiry.h"
#include "objects.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace wiiuse_linux {

// A call to BlueZ.
struct BusCall {
	enum Method {
		Inventory,      // GetManagedObjects of "/"
		Filter,         // SetDiscoveryFilter of `path` (an adapter): BR/EDR only
		StartDiscovery, // of `path`, an adapter
		StopDiscovery,
		Pair,           // of `path`, a device
		Connect,
		Disconnect,
		CancelPairing,
		Remove,         // RemoveDevice(`arg`) of `path`, an adapter
		Trust,          // Trusted of `path` set to `flag`
		AskModalias,    // the Modalias of `path` as BlueZ has it now
	};
	Method method;
	std::string path;
	std::string arg;
	bool flag = false;
	bool awaited = false; // its answer decides what comes next

	BusCall(Method m, std::string p, std::string a = "", bool f = false)
	    : method(m), path(std::move(p)), arg(std::move(a)), flag(f)
	{
	}
};

const char *methodName(BusCall::Method m);

// What came from the bus.
struct BusEvent {
	enum Kind {
		Added,   // `path` has `props` (of an adapter or a device), new or not
		Removed, // `path` is no longer a device (or an adapter)
		Changed, // `path`'s properties changed: `props`
		Answer,  // to `call`: `error` empty for success, `value` a property asked
		Gone,    // bluetoothd left the bus (or was never on it)
		Back,    // bluetoothd is on the bus (again)
	};
	Kind kind;
	std::string path = {};
	bool adapter = false, device = false; // Added, Removed: the interfaces
	Props props = {};
	uint64_t call = 0;
	std::string error = {}, message = {}, value = {};
	Inventory inventory = {}; // the Inventory's answer
};

// BlueZ reached on a bus. `call` sends a call whose answer comes as an event
// with the number it returns (0: it could not be sent); `forget` drops the
// wait for one, which then never comes. `take` moves what has come since
// into `events`: false once the bus itself is lost. `waitOn` gives the
// descriptor to wait on and the time the bus's own timeouts fall due.
struct BusPort {
	std::function<uint64_t(const BusCall &)> call;
	std::function<void(uint64_t)> forget;
	std::function<bool(std::vector<BusEvent> &)> take;
	std::function<void(pollfd &, Time &)> waitOn;
};

// The system bus, watched for BlueZ's objects and bluetoothd's comings and
// goings; a port with no functions, and `why`, when it cannot be reached.
// What is still to be sent goes out as the last copy is dropped, for a
// second at most.
BusPort systemBus(std::string &why);

// The controller: a raw HCI socket for the search's limited inquiry on
// hci`index`, if its address is `address` (see openInquiry), and an L2CAP
// connection that makes bluetoothd add a device heard (see reach).
struct HciPort {
	std::function<Socket(int index, const std::string &address, std::string &why, int &error)> open;
	std::function<Socket(const std::string &adapter, const std::string &address)> reach;
};

HciPort kernelHci();

// Where searches reach Bluetooth: the system bus and the kernel's
// controller, unless a test hands in its own.
struct BluetoothPorts {
	BusPort (*bus)(std::string &why);
	HciPort (*hci)();
};
void useBluetooth(BluetoothPorts ports);
BluetoothPorts bluetooth();

} // namespace wiiuse_linux

#endif
