// BlueZ's calls on the system bus, as the search makes them: none waits
// for its answer, which comes to a handler at a later turn of the search.
#ifndef WIIUSE_BUS_H
#define WIIUSE_BUS_H

#include "clock.h"
#include "handle.h"

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace wiiuse_linux {

extern const char kService[]; // org.bluez
extern const char kAdapter[]; // org.bluez.Adapter1
extern const char kDevice[];  // org.bluez.Device1

// What is still to be sent goes out as the bus closes, for a second at most:
// a system bus that does not read (a hung dbus-daemon) holds nothing up.
struct BusUnref {
	void operator()(sd_bus *bus) const;
};
using Slot = Handle<sd_bus_slot, sd_bus_slot_unref>;
using Message = Handle<sd_bus_message, sd_bus_message_unref>;

// The bus, and until when a call sent on it may be answered: later, it is
// given up (answered with org.freedesktop.DBus.Error.Timeout).
struct Bus {
	std::unique_ptr<sd_bus, BusUnref> bus;
	Time callsUntil;
};

// A call whose answer somebody awaits.
struct Call {
	Slot slot;
	bool answered = false;
	std::string error;   // the answer's error name; empty: it succeeded
	std::string message; // what went wrong, to be said
	std::string value;   // a property asked for, as the answer gave it
};

// Whether a StartDiscovery's answer leaves the adapter discovering (one in
// progress already counts).
bool discoveryOn(const Call &call);

Message newCall(const Bus &bus, const std::string &path, const char *iface, const char *method);

// Sends a call; its answer comes to `handler` at a later turn (none: nobody
// waits for it). False when it could not be sent.
bool send(const Bus &bus, const Message &m, sd_bus_slot **slot, sd_bus_message_handler_t handler, void *userdata);

// Sends `method` of `path`'s `iface`, its answer to `call`; one that cannot
// be sent is answered at once, as an error.
void await(const Bus &bus, Call &call, const std::string &path, const char *iface, const char *method);

// Sends `method`, whose answer nobody awaits.
void tell(const Bus &bus, const std::string &path, const char *iface, const char *method);

// Trusted, a remote reconnects by itself at a button press later on;
// distrusted, a device no longer may.
void setTrusted(const Bus &bus, const std::string &path, bool trusted);

// Unpairs a device, so the machine is left as it was.
void unpair(const Bus &bus, const std::string &adapter, const std::string &path);

// Gives up a pairing under way in bluetoothd, so that it does not outlast
// the search that began it and leave the device paired.
void cancelPairing(const Bus &bus, const std::string &path);

// Asks for a string property of `path`'s device as BlueZ has it now: its
// value comes to call.value (left empty where it could not be read).
void askProperty(const Bus &bus, Call &call, const std::string &path, const char *property);

} // namespace wiiuse_linux

#endif
