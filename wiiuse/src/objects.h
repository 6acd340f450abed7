// The objects BlueZ reports, adapters and devices, as the search keeps
// them: the properties it uses, read from BlueZ's messages.
#ifndef WIIUSE_OBJECTS_H
#define WIIUSE_OBJECTS_H

#include "trust.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace wiiuse_linux {

extern const char kAdapterInterface[]; // org.bluez.Adapter1
extern const char kDeviceInterface[];  // org.bluez.Device1

// What the search knows of a device (or an adapter).
struct Device {
	std::string adapter, address, name, modalias;
	bool paired = false, connected = false, inRange = false, trusted = false;
	bool hid = false;     // its services are read, and offer HID
	bool resolved = false; // BlueZ has read all its services: no Device ID is to come
	bool powered = false; // of an adapter
	uint32_t deviceClass = 0;
};

// What a message says of an object's properties: only those it names.
struct Props {
	std::optional<std::string> adapter, address, name, modalias;
	std::optional<bool> paired, connected, trusted, powered, hid, resolved;
	std::optional<uint32_t> deviceClass;
	bool inRange = false; // BlueZ gave its signal's strength: it answers inquiries
};

// What is known of the object once `p` is taken in.
void apply(const Props &p, Device &d);

// Reads a{sv} of one interface into `p`, skipping what it does not use.
int readProps(sd_bus_message *m, Props &p);

// Reads a{sa{sv}} (interfaces and their properties) of one object, or as
// (interfaces only) where `namesOnly`. Sets `isAdapter` / `isDevice` by
// the interfaces present.
int readInterfaces(sd_bus_message *m, Props &p, bool &isAdapter, bool &isDevice, bool namesOnly = false);

// What GetManagedObjects answers: devices, and adapters, by object path.
struct Inventory {
	std::map<std::string, Device> devices, adapters;
};
void readInventory(sd_bus_message *reply, Inventory &inventory);

// What the trust policy judges a device by; `driver`: the HID driver bound
// to it, if read.
Facts factsOf(const Device &d, const std::string &driver = "");

// As sysfs writes a HID device's uniq: "00:19:1d:00:00:01".
std::string lower(std::string address);

} // namespace wiiuse_linux

#endif
