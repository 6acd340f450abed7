// A simulated bluetoothd and controller on the test's clock, behind the
// ports the search is handed: BlueZ's object tree, its answers and signals,
// and a controller that runs inquiries and pages remotes in range.
#ifndef TESTS_SIM_BLUETOOTH_H
#define TESTS_SIM_BLUETOOTH_H

#include "ports.h"
#include "support/sim_clock.h"

#include <map>
#include <string>
#include <vector>

namespace wiiuse_linux {

// A device in range.
struct SimRemote {
	std::string name = "Nintendo RVL-CNT-01";
	std::string modalias = "bluetooth:v057Ep0306d0600"; // read as it pairs
	uint32_t deviceClass = 0x002504;
	bool general = true;  // answers bluetoothd's general inquiry: a clone does not
	bool pressed = false; // SYNC pressed: it answers inquiries and pages
	Ms pairTakes{300}, connectTakes{200};
	std::string pairError; // a D-Bus error name
};

struct SimBluetooth {
	Sim &clock;
	Time began = clock.t;
	std::map<std::string, SimRemote> remotes; // by address
	std::map<std::string, Device> objects;    // BlueZ's devices, by object path
	bool running = true;    // bluetoothd is on the bus
	bool busy = false;      // another client inquires: the controller refuses ours
	bool powered = true;    // the adapter
	bool socket = true;     // the kernel gives a raw HCI socket
	std::vector<std::string> log; // "ms what": every call and command, in order
	std::map<std::string, int> connectedAt; // ms, by address

	explicit SimBluetooth(Sim &c);
	~SimBluetooth();
	SimBluetooth(const SimBluetooth &) = delete;
	SimBluetooth &operator=(const SimBluetooth &) = delete;

	BusPort bus();
	HciPort hci();
	// SYNC pressed on a remote (known to bluetoothd at `path` if `paired`).
	void press(const std::string &address, bool paired = false, bool trusted = false);
	// The adapter switched off or on, as BlueZ says it.
	void power(bool on);
	// bluetoothd stops, and is started again `after` later, knowing nothing.
	void restart(Ms after);
	// What the log says of calls named `what`.
	int count(const std::string &what) const;
	int firstAt(const std::string &what) const; // -1: never

	// The simulation's own.
	int wake[2] = {-1, -1};
	int controller = -1;
	std::vector<int> farEnds; // of the pages' connections
	std::vector<BusEvent> queue;
	uint64_t calls = 0;
	int inquiry = 0; // the controller's, by number, so that a cancelled one ends
	void after(Ms ms, std::function<void()> what);
	void signal(BusEvent e);
	void note(const std::string &what);
	void pump(); // the controller reads its commands
};

std::string pathOf(const std::string &address);

} // namespace wiiuse_linux

#endif
