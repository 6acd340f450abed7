#include "bluez.h"

#include "countdown.h"
#include "search.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace wiiuse_linux {

namespace {

using Clock = std::chrono::steady_clock;

const char kService[] = "org.bluez";
const char kAdapter[] = "org.bluez.Adapter1";
const char kDevice[] = "org.bluez.Device1";

// A remote that would not connect is tried again after this long: its
// owner may press SYNC once told to.
constexpr auto kRetryAfter = std::chrono::seconds(3);
// A device just paired is given this long to have its Device ID read, and
// asked this often.
constexpr auto kServicesWait = std::chrono::seconds(3);
constexpr auto kModaliasStep = std::chrono::milliseconds(100);

const char kSyncHint[] =
	"premi il tasto rosso SYNC sotto il coperchio delle batterie durante la ricerca";

struct BusUnref {
	void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
	void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
	void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error that frees itself.
struct Error {
	sd_bus_error e = SD_BUS_ERROR_NULL;
	Error() = default;
	Error(const Error &) = delete;
	Error &operator=(const Error &) = delete;
	~Error() { sd_bus_error_free(&e); }
	std::string text(int rc) const
	{
		return e.message ? e.message : std::strerror(rc < 0 ? -rc : rc);
	}
};

// What the search knows of a device (or an adapter): the properties it uses.
struct Device {
	std::string adapter, address, name, modalias;
	bool paired = false, connected = false, inRange = false;
	bool powered = false; // of an adapter
	uint32_t deviceClass = 0;
};

bool warned = false; // Bluetooth's unavailability has been told
bool hinted = false; // the SYNC button has been suggested

// Every call from now on waits until `deadline` at most (1 ms at least): a
// daemon that hangs cannot hold the search past its time.
void limitCalls(sd_bus *bus, Clock::time_point deadline)
{
	auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
	sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(std::max<long long>(left, 1000)));
}

void cannotHelp(const std::string &why)
{
	if (warned)
		return;
	warned = true;
	notice("Bluetooth non disponibile per la ricerca: " + why);
}

// Reads a{sv} of one interface into `d`, skipping what it does not use.
int readDeviceProps(sd_bus_message *m, Device &d)
{
	int rc = sd_bus_message_enter_container(m, 'a', "{sv}");
	if (rc < 0)
		return rc;
	while ((rc = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
		const char *key = nullptr;
		if ((rc = sd_bus_message_read(m, "s", &key)) < 0)
			return rc;
		const char *type = nullptr;
		if ((rc = sd_bus_message_peek_type(m, nullptr, &type)) < 0)
			return rc;
		std::string k = key;
		if ((rc = sd_bus_message_enter_container(m, 'v', type)) < 0)
			return rc;
		if (!std::strcmp(type, "s") && (k == "Name" || k == "Modalias" || k == "Address")) {
			const char *s = nullptr;
			if ((rc = sd_bus_message_read(m, "s", &s)) < 0)
				return rc;
			(k == "Name" ? d.name : k == "Modalias" ? d.modalias : d.address) = s;
		} else if (!std::strcmp(type, "o") && k == "Adapter") {
			const char *s = nullptr;
			if ((rc = sd_bus_message_read(m, "o", &s)) < 0)
				return rc;
			d.adapter = s;
		} else if (!std::strcmp(type, "u") && k == "Class") {
			if ((rc = sd_bus_message_read(m, "u", &d.deviceClass)) < 0)
				return rc;
		} else if (!std::strcmp(type, "b") && (k == "Paired" || k == "Connected" || k == "Powered")) {
			int b = 0;
			if ((rc = sd_bus_message_read(m, "b", &b)) < 0)
				return rc;
			(k == "Paired" ? d.paired : k == "Connected" ? d.connected : d.powered) = b;
		} else {
			if (k == "RSSI")
				d.inRange = true; // BlueZ gives it while the device answers inquiries
			if ((rc = sd_bus_message_skip(m, type)) < 0)
				return rc;
		}
		if ((rc = sd_bus_message_exit_container(m)) < 0 || (rc = sd_bus_message_exit_container(m)) < 0)
			return rc;
	}
	if (rc < 0)
		return rc;
	return sd_bus_message_exit_container(m);
}

// Reads a{sa{sv}} (interfaces and their properties) of one object. Sets
// `isAdapter` / `isDevice` by the interfaces present.
int readInterfaces(sd_bus_message *m, Device &d, bool &isAdapter, bool &isDevice)
{
	int rc = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
	if (rc < 0)
		return rc;
	while ((rc = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
		const char *iface = nullptr;
		if ((rc = sd_bus_message_read(m, "s", &iface)) < 0)
			return rc;
		bool adapter = !std::strcmp(iface, kAdapter), device = !std::strcmp(iface, kDevice);
		isAdapter = isAdapter || adapter;
		isDevice = isDevice || device;
		rc = adapter || device ? readDeviceProps(m, d) : sd_bus_message_skip(m, "a{sv}");
		if (rc < 0 || (rc = sd_bus_message_exit_container(m)) < 0)
			return rc;
	}
	if (rc < 0)
		return rc;
	return sd_bus_message_exit_container(m);
}

} // namespace

struct BluezSearch {
	std::unique_ptr<sd_bus, BusUnref> bus;
	std::unique_ptr<sd_bus_slot, SlotUnref> added, changed;
	std::string adapter;                  // object path of the adapter searched with
	std::map<std::string, Device> devices; // by object path
	std::map<std::string, Clock::time_point> failed; // remotes that would not connect, and when
	std::set<std::string> strangers; // paired, then found not to be Wii Remotes
	int connected = 0;
	bool discovering = false;
};

namespace {

int onInterfacesAdded(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	const char *path = nullptr;
	if (sd_bus_message_read(m, "o", &path) < 0)
		return 0;
	Device d = s->devices.count(path) ? s->devices[path] : Device{};
	bool isAdapter = false, isDevice = false;
	if (readInterfaces(m, d, isAdapter, isDevice) >= 0 && isDevice)
		s->devices[path] = d;
	return 0;
}

int onPropertiesChanged(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	auto it = s->devices.find(sd_bus_message_get_path(m));
	const char *iface = nullptr;
	if (it == s->devices.end() || sd_bus_message_read(m, "s", &iface) < 0 || std::strcmp(iface, kDevice))
		return 0;
	readDeviceProps(m, it->second);
	return 0;
}

// Calls a method of a device or adapter with no arguments, waiting until
// `deadline` at most. Returns the error's name, empty on success.
std::string call(BluezSearch &s, const std::string &path, const char *iface, const char *method,
                 Clock::time_point deadline)
{
	limitCalls(s.bus.get(), deadline);
	Error error;
	int rc = sd_bus_call_method(s.bus.get(), kService, path.c_str(), iface, method, &error.e, nullptr, "");
	if (rc >= 0)
		return "";
	return error.e.name ? error.e.name : std::strerror(-rc);
}

// The Device ID a device has given now that it is paired, as BlueZ has it
// then ("bluetooth:v057Ep0306d0600"): BlueZ reads it from the device's
// services, which it may still be reading as the pairing ends, so it is
// waited for a few seconds within `deadline`. Empty when none comes.
std::string pairedModalias(BluezSearch &s, const std::string &path, Clock::time_point deadline)
{
	deadline = std::min(deadline, Clock::now() + kServicesWait);
	for (;;) {
		limitCalls(s.bus.get(), deadline);
		Error error;
		char *value = nullptr;
		std::string modalias;
		if (sd_bus_get_property_string(s.bus.get(), kService, path.c_str(), kDevice, "Modalias", &error.e,
		                               &value) >= 0) {
			modalias = value;
			std::free(value);
		}
		if (!modalias.empty() || Clock::now() + kModaliasStep >= deadline)
			return modalias;
		std::this_thread::sleep_for(kModaliasStep);
	}
}

// Unpairs a device the search paired, so the machine is left as it was.
void unpair(BluezSearch &s, const std::string &path)
{
	limitCalls(s.bus.get(), Clock::now() + std::chrono::seconds(1));
	Error removed;
	sd_bus_call_method(s.bus.get(), kService, s.adapter.c_str(), kAdapter, "RemoveDevice", &removed.e, nullptr,
	                   "o", path.c_str());
}

// Pairs (when needed), trusts and connects one remote. True once connected.
// Only a device whose Device ID the kernel's driver binds is trusted and
// connected, whatever its name: any other the search paired is unpaired
// again, and left alone for the rest of the search.
bool bringIn(BluezSearch &s, const std::string &path, const Device &d, Clock::time_point deadline)
{
	if (!d.paired) {
		std::string paired = call(s, path, kDevice, "Pair", deadline);
		if (paired.empty() || paired == "org.bluez.Error.AlreadyExists") {
			if (!driverBinds(pairedModalias(s, path, deadline))) {
				if (paired.empty())
					unpair(s, path);
				s.strangers.insert(path);
				return false;
			}
			// Trusted, it reconnects by itself at a button press later on.
			limitCalls(s.bus.get(), deadline);
			Error error;
			sd_bus_set_property(s.bus.get(), kService, path.c_str(), kDevice, "Trusted", &error.e, "b", 1);
		} else if (!d.modalias.empty() && !driverBinds(d.modalias)) {
			// Pairing failed (woken with 1+2: BlueZ has no PIN for that);
			// a connection may still be allowed, where bonding is not
			// required, for a device that may be a remote.
			s.strangers.insert(path);
			return false;
		}
	}
	std::string connected = call(s, path, kDevice, "Connect", deadline);
	if (connected.empty() || connected == "org.bluez.Error.AlreadyConnected")
		return true;
	if (!d.paired && !hinted) {
		hinted = true;
		notice("il wiimote " + (d.name.empty() ? d.address : d.name) + " non si lascia collegare (" + connected +
		       "): " + kSyncHint);
	}
	return false;
}

} // namespace

void BluezSearchEnd::operator()(BluezSearch *s) const
{
	if (s->discovering) {
		limitCalls(s->bus.get(), Clock::now() + std::chrono::seconds(1));
		Error error;
		sd_bus_call_method(s->bus.get(), kService, s->adapter.c_str(), kAdapter, "StopDiscovery", &error.e,
		                   nullptr, "");
	}
	delete s;
}

bool driverBinds(const std::string &modalias)
{
	// "usb:v057Ep0306d0600", "bluetooth:v057Ep0330d...".
	std::string m = modalias;
	std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
	size_t colon = m.find(':');
	if (colon == std::string::npos)
		return false;
	std::string ids = m.substr(colon + 1, 10);
	return ids == "v057ep0306" || ids == "v057ep0330";
}

bool isWiiRemote(const std::string &name, const std::string &modalias, uint32_t deviceClass)
{
	if (name == "Nintendo RVL-CNT-01" || name == "Nintendo RVL-CNT-01-TR")
		return true;
	// A remote has no extended inquiry response: its name comes only once
	// the inquiry is over, some 10 s on, by then the search may be too. Its
	// class comes with the inquiry's answer.
	if (name.empty() && (deviceClass == 0x002504 || deviceClass == 0x000508))
		return true;
	return driverBinds(modalias);
}

std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(Clock::time_point deadline)
{
	std::unique_ptr<BluezSearch, BluezSearchEnd> s(new BluezSearch);
	sd_bus *bus = nullptr;
	int rc = sd_bus_open_system(&bus);
	s->bus.reset(bus);
	if (rc < 0) {
		cannotHelp(std::string("impossibile raggiungere il bus di sistema: ") + std::strerror(-rc));
		return nullptr;
	}
	limitCalls(bus, deadline);
	// Signals first, so nothing said after the inventory is missed.
	sd_bus_slot *slot = nullptr;
	if (sd_bus_match_signal(bus, &slot, kService, nullptr, "org.freedesktop.DBus.ObjectManager",
	                        "InterfacesAdded", onInterfacesAdded, s.get()) >= 0)
		s->added.reset(slot);
	if (sd_bus_match_signal(bus, &slot, kService, nullptr, "org.freedesktop.DBus.Properties",
	                        "PropertiesChanged", onPropertiesChanged, s.get()) >= 0)
		s->changed.reset(slot);

	Error error;
	sd_bus_message *reply = nullptr;
	rc = sd_bus_call_method(bus, kService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
	                        &error.e, &reply, "");
	Message objects(reply);
	if (rc < 0) {
		cannotHelp("bluetoothd non risponde (" + error.text(rc) + ")");
		return nullptr;
	}
	std::vector<std::string> adapters, powered;
	if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") >= 0) {
		while (sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
			const char *path = nullptr;
			Device d;
			bool isAdapter = false, isDevice = false;
			if (sd_bus_message_read(reply, "o", &path) < 0 ||
			    readInterfaces(reply, d, isAdapter, isDevice) < 0 ||
			    sd_bus_message_exit_container(reply) < 0)
				break;
			if (isDevice)
				s->devices[path] = d;
			if (isAdapter) {
				adapters.push_back(path);
				if (d.powered)
					powered.push_back(path);
			}
		}
	}
	std::sort(adapters.begin(), adapters.end());
	std::sort(powered.begin(), powered.end());
	if (adapters.empty()) {
		cannotHelp("nessun adattatore Bluetooth");
		return nullptr;
	}
	if (powered.empty()) {
		cannotHelp("l'adattatore " + adapters.front() + " è spento (bluetoothctl power on)");
		return nullptr;
	}
	s->adapter = powered.front();

	Error filter;
	sd_bus_call_method(bus, kService, s->adapter.c_str(), kAdapter, "SetDiscoveryFilter", &filter.e, nullptr,
	                   "a{sv}", 1, "Transport", "s", "bredr");
	Error start;
	rc = sd_bus_call_method(bus, kService, s->adapter.c_str(), kAdapter, "StartDiscovery", &start.e, nullptr,
	                        "");
	if (rc < 0 && !sd_bus_error_has_name(&start.e, "org.bluez.Error.InProgress")) {
		cannotHelp("impossibile avviare la ricerca su " + s->adapter + " (" + start.text(rc) + ")");
		return nullptr;
	}
	s->discovering = true;
	return s;
}

int stepBluezSearch(BluezSearch &s, std::chrono::milliseconds wait, Clock::time_point deadline, int room)
{
	// What BlueZ has said so far, then at most `wait` for more; the wait is
	// spent even when there is nothing to do, or no bus left to do it on.
	auto until = Clock::now() + wait;
	for (;;) {
		int rc;
		while ((rc = sd_bus_process(s.bus.get(), nullptr)) > 0) {
		}
		for (auto &[path, d] : s.devices) {
			if (rc < 0 || room <= 0 || Clock::now() >= deadline)
				break;
			auto failed = s.failed.find(path);
			bool resting = failed != s.failed.end() && Clock::now() < failed->second + kRetryAfter;
			if (d.adapter != s.adapter || d.connected || !d.inRange || resting || s.strangers.count(path) ||
			    !isWiiRemote(d.name, d.modalias, d.deviceClass))
				continue;
			if (bringIn(s, path, d, deadline + kBluezCallGrace)) {
				++s.connected;
				--room;
				d.connected = true;
			} else {
				s.failed[path] = Clock::now();
			}
		}
		auto now = Clock::now();
		if (now >= until)
			break;
		auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
		if (rc < 0 || sd_bus_wait(s.bus.get(), static_cast<uint64_t>(left.count())) < 0) {
			std::this_thread::sleep_for(left);
			break;
		}
	}
	return s.connected;
}

} // namespace wiiuse_linux
