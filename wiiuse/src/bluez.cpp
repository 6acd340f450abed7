#include "bluez.h"

#include "handle.h"
#include "inquiry.h"
#include "report.h"
#include "search.h"
#include "sysfs.h"
#include "trust.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
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
// A device just paired is given this long to have its Device ID read (it is
// asked at each turn of the search). One whose services could not be read
// is unpaired, never connected to have them read: a connection would
// connect every profile it offers. Paired again at a later turn, its
// services are read anew.
constexpr auto kServicesWait = std::chrono::seconds(3);
// A device whose services are read with no Device ID among them: its
// Device ID, if it has one, comes with its services or just after.
constexpr Ms kLateDeviceId{500};

// The radio's turns: bluetoothd's general discovery first, long enough for
// an original remote whose SYNC was pressed as the search began, then the
// search's own limited inquiry, then each in turn.
constexpr Ms kFirstGeneralTurn{3840};
constexpr Ms kGeneralTurn{2560};
constexpr int kLimitedLength = 2; // times 1.28 s
constexpr Ms kLimitedGrace{500};  // for its end to come
constexpr Ms kAskIdEvery{100};    // a Device ID awaited is asked for again
// A device reached for bluetoothd to add is given this long to be paired.
constexpr auto kReachFor = std::chrono::seconds(10);

const char kHidUuid[] = "00001124-0000-1000-8000-00805f9b34fb";

const char kRuleHint[] =
	"il driver hid-wiimote lo prende solo con la regola udev di hitcheck; da root, nella cartella dei "
	"sorgenti: install -m 644 udev/70-hitcheck-wiimote.rules /etc/udev/rules.d/ && udevadm control --reload";
const char kSyncHint[] =
	"premi il tasto rosso SYNC sotto il coperchio delle batterie durante la ricerca";

// What is still to be sent goes out as the bus closes, for a second at most:
// a system bus that does not read (a hung dbus-daemon) holds nothing up.
struct BusUnref {
	void operator()(sd_bus *bus) const
	{
		Time end = now() + std::chrono::seconds(1);
		for (;;) {
			while (sd_bus_process(bus, nullptr) > 0) {
			}
			int events = sd_bus_get_events(bus);
			if (events < 0 || (sd_bus_is_ready(bus) > 0 && !(events & POLLOUT)) || now() >= end)
				break;
			pollfd p{sd_bus_get_fd(bus), static_cast<short>(events), 0};
			waitUntil(&p, 1, end);
		}
		sd_bus_close_unref(bus);
	}
};
using Slot = Handle<sd_bus_slot, sd_bus_slot_unref>;
using Message = Handle<sd_bus_message, sd_bus_message_unref>;

// What the search knows of a device (or an adapter): the properties it uses.
struct Device {
	std::string adapter, address, name, modalias;
	bool paired = false, connected = false, inRange = false, trusted = false;
	bool hid = false;     // its services are read, and offer HID
	bool powered = false; // of an adapter
	uint32_t deviceClass = 0;
};

bool warned = false; // Bluetooth's unavailability has been told
bool hinted = false; // the SYNC button has been suggested
bool toldRule = false; // the root step for remotes with no Device ID has been said
bool toldLimited = false; // the limited inquiry's unavailability has been told
bool toldRefused = false; // the limited inquiry's refusal has been told
std::set<std::string> toldMisnamed; // look-alikes with another name, said once each

Facts factsOf(const Device &d, const std::string &driver = "")
{
	return {d.name, d.modalias, d.deviceClass, d.hid, d.trusted, driver};
}

// As sysfs writes a HID device's uniq: "00:19:1d:00:00:01".
std::string lower(std::string address)
{
	std::transform(address.begin(), address.end(), address.begin(),
	               [](unsigned char c) { return std::tolower(c); });
	return address;
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
		} else if (!std::strcmp(type, "as") && k == "UUIDs") {
			if ((rc = sd_bus_message_enter_container(m, 'a', "s")) < 0)
				return rc;
			const char *uuid = nullptr;
			while ((rc = sd_bus_message_read(m, "s", &uuid)) > 0)
				d.hid = d.hid || !strcasecmp(uuid, kHidUuid);
			if (rc < 0 || (rc = sd_bus_message_exit_container(m)) < 0)
				return rc;
		} else if (!std::strcmp(type, "u") && k == "Class") {
			if ((rc = sd_bus_message_read(m, "u", &d.deviceClass)) < 0)
				return rc;
		} else if (!std::strcmp(type, "b") &&
		           (k == "Paired" || k == "Connected" || k == "Powered" || k == "Trusted")) {
			int b = 0;
			if ((rc = sd_bus_message_read(m, "b", &b)) < 0)
				return rc;
			(k == "Paired" ? d.paired : k == "Connected" ? d.connected : k == "Trusted" ? d.trusted : d.powered) = b;
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

// A call to BlueZ under way for the search: its start, or one remote being
// brought in, or the Device ID awaited. Nothing here waits: each turn of the
// search looks at it.
struct BringIn {
	enum Stage {
		Inventory,  // the search's start: GetManagedObjects() under way
		Starting,   // StartDiscovery() under way
		Pairing,    // Pair() under way
		AwaitingId, // paired: its Device ID awaited until `until`
		Connecting, // Connect() under way
	};
	std::string path;
	Device *device = nullptr; // what the search knows of it
	bool wasPaired = false;   // before the search
	Stage stage = Pairing;
	Slot call; // the call under way, or none
	bool answered = false;
	std::string error;   // the call's error name; empty: it succeeded
	std::string message; // what went wrong, to be said
	bool pairedHere = false; // this search paired it: unpaired if a stranger
	Time until;
	Time noIdSince = kNever; // its services were read with no Device ID
	Time askedAt;            // its Device ID last asked for
};

// Whose the radio is: bluetoothd's general discovery, or the search's own
// limited inquiry, and the calls that hand it from one to the other.
enum class Radio {
	General,  // bluetoothd discovers, until `radioUntil`
	Stopping, // StopDiscovery() under way
	Limited,  // the limited inquiry runs, until `radioUntil` at most
	Starting, // StartDiscovery() under way again
	Off,      // no limited inquiry in this search: bluetoothd's alone
};

// A device heard by the limited inquiry that bluetoothd does not know, and
// the connection that makes it add the device.
struct Reaching {
	Socket l2cap;
	Time until;
};

struct BluezSearch {
	std::unique_ptr<sd_bus, BusUnref> bus;
	Slot added, changed;
	std::string adapter;                  // object path of the adapter searched with
	std::map<std::string, Device> devices; // by object path
	std::map<std::string, Time> resting;  // devices the search tried, and when it gave up
	std::set<std::string> strangers; // not Wii Remotes: left alone for the rest of the search
	std::unique_ptr<BringIn> starting; // the start of discovery, while under way
	std::unique_ptr<BringIn> bringing;
	Time deadline;   // the search's own
	Time callsUntil; // calls begun are seen through until then
	// Remotes connected by the search, by address as sysfs writes it,
	// awaited until then for the driver to bind them.
	std::map<std::string, Time> awaiting;
	// Look-alikes connected and not trusted yet, by address: trusted once
	// the driver has bound them and they have answered.
	std::map<std::string, std::string> lookalikes;
	std::string sysRoot; // where the drivers bound to devices are read
	bool discovering = false;
	bool failed = false; // Bluetooth cannot help: said, and nothing more is asked
	bool bindsWithoutId = false; // this machine's udev binds remotes with no Device ID
	std::string adapterAddress;
	Radio radio = Radio::General;
	Time radioUntil = kNever;
	std::unique_ptr<BringIn> turning; // StopDiscovery() or StartDiscovery()
	Socket inquiry;
	bool inquiryBegun = false; // the controller has started the limited inquiry
	std::set<std::string> heard; // remotes by their address, heard by the limited inquiry
	std::map<std::string, Reaching> reaching;
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

int onAnswer(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *b = static_cast<BringIn *>(userdata);
	const sd_bus_error *e = sd_bus_message_get_error(m);
	b->answered = true;
	b->error = !e ? "" : e->name ? e->name : "org.freedesktop.DBus.Error.Failed";
	b->message = !e ? "" : e->message ? e->message : b->error;
	return 0;
}

// The Device ID in a Get's answer, as BlueZ has it then
// ("bluetooth:v057Ep0306d0600").
int onModalias(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *b = static_cast<BringIn *>(userdata);
	const char *value = nullptr;
	b->answered = true;
	if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_enter_container(m, 'v', "s") >= 0 &&
	    sd_bus_message_read(m, "s", &value) >= 0)
		b->device->modalias = value;
	return 0;
}

Message newCall(BluezSearch &s, const std::string &path, const char *iface, const char *method)
{
	sd_bus_message *m = nullptr;
	sd_bus_message_new_method_call(s.bus.get(), &m, kService, path.c_str(), iface, method);
	return Message(m);
}

// Sends a call; its answer comes to `handler` at a later turn (none: nobody
// waits for it). False when it could not be sent.
bool send(BluezSearch &s, const Message &m, sd_bus_slot **slot, sd_bus_message_handler_t handler, void *userdata)
{
	auto left = std::chrono::duration_cast<std::chrono::microseconds>(s.callsUntil - now()).count();
	return m && sd_bus_call_async(s.bus.get(), slot, m.get(), handler, userdata,
	                              static_cast<uint64_t>(std::max<long long>(left, 1000))) >= 0;
}

// A call of b.path's whose answer the bring-in awaits.
void await(BluezSearch &s, BringIn &b, BringIn::Stage stage, const char *method, const char *iface = kDevice)
{
	b.stage = stage;
	b.answered = false;
	b.error.clear();
	b.message.clear();
	sd_bus_slot *slot = nullptr;
	if (!send(s, newCall(s, b.path, iface, method), &slot, onAnswer, &b)) {
		b.answered = true;
		b.error = "org.freedesktop.DBus.Error.NoReply";
		b.message = "impossibile inviare la richiesta";
	}
	b.call.reset(slot);
}

// Asks BlueZ for the device's Device ID as it has it now, when the last
// question has been answered, a tenth of a second after it at the soonest:
// BlueZ is not kept busy answering while it reads the device's services.
void askModalias(BluezSearch &s, BringIn &b, Time t)
{
	if ((b.call && !b.answered) || t < b.askedAt + kAskIdEvery)
		return;
	b.askedAt = t;
	Message m = newCall(s, b.path, "org.freedesktop.DBus.Properties", "Get");
	sd_bus_slot *slot = nullptr;
	b.answered = false;
	if (m && sd_bus_message_append(m.get(), "ss", kDevice, "Modalias") >= 0)
		send(s, m, &slot, onModalias, &b);
	b.call.reset(slot);
}

// Trusted, a remote reconnects by itself at a button press later on;
// distrusted, a device no longer may.
void setTrusted(BluezSearch &s, const std::string &path, bool trusted)
{
	Message m = newCall(s, path, "org.freedesktop.DBus.Properties", "Set");
	if (m && sd_bus_message_append(m.get(), "ssv", kDevice, "Trusted", "b", trusted) >= 0)
		send(s, m, nullptr, nullptr, nullptr);
}

// Unpairs a device the search paired, so the machine is left as it was.
void unpair(BluezSearch &s, const std::string &path)
{
	Message m = newCall(s, s.adapter, kAdapter, "RemoveDevice");
	if (m && sd_bus_message_append(m.get(), "o", path.c_str()) >= 0)
		send(s, m, nullptr, nullptr, nullptr);
}

// Gives up a pairing under way in bluetoothd, so that it does not outlast
// the search that began it and leave the device paired.
void cancelPairing(BluezSearch &s, const std::string &path)
{
	// Its answer is asked for, and not awaited: a call that asks for none
	// may go unheard.
	auto ignore = [](sd_bus_message *, void *, sd_bus_error *) { return 0; };
	send(s, newCall(s, path, kDevice, "CancelPairing"), nullptr, ignore, nullptr);
}
void cancelPairing(BluezSearch &s, const BringIn &b)
{
	if (b.stage == BringIn::Pairing && !b.answered)
		cancelPairing(s, b.path);
}

// The bring-in is over: true when its remote was connected. One that was
// not rests, and the devices not tried since get their turn first.
bool finish(BluezSearch &s, bool connected, Time t)
{
	Device &d = *s.bringing->device;
	s.reaching.erase(d.address);
	if (connected) {
		s.heard.erase(d.address);
		s.awaiting[lower(d.address)] = t + kDriverBindGrace;
	} else {
		cancelPairing(s, *s.bringing);
		s.lookalikes.erase(lower(d.address));
	}
	s.resting[s.bringing->path] = t;
	s.bringing.reset();
	return connected;
}

// Not a remote, or not one the driver will take: unpaired if the search
// paired it, and left alone for the rest of the search.
bool leave(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	if (b.pairedHere)
		unpair(s, b.path);
	s.strangers.insert(b.path);
	return finish(s, false, t);
}

void hintSync(const Device &d, const std::string &error)
{
	if (hinted)
		return;
	hinted = true;
	notice("il wiimote " + (d.name.empty() ? d.address : d.name) + " non si lascia collegare (" + error +
	       "): " + kSyncHint);
}

// Once paired, or paired before: what it says it is decides, as soon as
// it is known, whether it is connected.
bool decide(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	Device &d = *b.device;
	Kind kind = kindOf(factsOf(d));
	// BlueZ reads the Device ID from the device's services, which it may
	// still be reading as the pairing ends: asked each turn. One whose
	// services name none may give it just after.
	if (d.modalias.empty() && d.hid && b.noIdSince == kNever)
		b.noIdSince = t;
	bool late = kind == Kind::Unknown ? t < b.until : d.modalias.empty() && t < b.noIdSince + kLateDeviceId;
	if (late) {
		askModalias(s, b, t);
		return false;
	}
	if (mayConnect(kind, s.bindsWithoutId)) {
		if (trustedOnConnect(kind))
			setTrusted(s, b.path, true);
		else
			s.lookalikes[lower(d.address)] = b.path;
		await(s, b, BringIn::Connecting, "Connect");
		return false;
	}
	if (kind == Kind::Lookalike && !toldRule) {
		toldRule = true;
		notice("il wiimote " + d.name + " (" + d.address + ") non ha Device ID: " + kRuleHint);
	}
	if (kind != Kind::Unknown || !b.pairedHere)
		return leave(s, t);
	// Its services could not be read (the radio was busy): unpaired, it is
	// paired anew at a later turn, which reads them again.
	unpair(s, b.path);
	d.paired = false;
	return finish(s, false, t);
}

// Takes the bring-in one stage on, when what it awaits has come. True when
// its remote has been connected. Nothing is connected before it says it is
// a remote the driver takes, paired before or not; a pairing that failed
// is followed by a connection only for such a remote.
bool advance(BluezSearch &s, Time t)
{
	BringIn &b = *s.bringing;
	Device &d = *b.device;
	if (b.stage != BringIn::AwaitingId && !b.answered)
		return false;
	switch (b.stage) {
	case BringIn::Inventory:
	case BringIn::Starting:
		return false; // the start's, not a remote's
	case BringIn::Pairing:
		if (b.error.empty() || b.error == "org.bluez.Error.AlreadyExists") {
			b.pairedHere = b.error.empty();
			if (b.pairedHere)
				d.modalias.clear(); // as it is now that it is paired: asked anew
			d.paired = true;
			b.stage = BringIn::AwaitingId;
			b.until = t + kServicesWait;
			return decide(s, t);
		}
		// Not answered in the search's time: given up in bluetoothd too.
		if (b.error == "org.freedesktop.DBus.Error.NoReply" || b.error == "org.freedesktop.DBus.Error.Timeout") {
			cancelPairing(s, b.path);
			return finish(s, false, t);
		}
		// Pairing failed (woken with 1+2: BlueZ has no PIN for that); a
		// connection may still be allowed, where bonding is not required,
		// for a remote whose Device ID says so.
		if (kindOf(factsOf(d)) == Kind::Remote) {
			await(s, b, BringIn::Connecting, "Connect");
			return false;
		}
		hintSync(d, b.error);
		return finish(s, false, t);
	case BringIn::AwaitingId:
		return decide(s, t);
	case BringIn::Connecting:
		if (b.error.empty() || b.error == "org.bluez.Error.AlreadyConnected") {
			d.connected = true;
			return finish(s, true, t);
		}
		if (!b.wasPaired)
			hintSync(d, b.error);
		return finish(s, false, t);
	}
	return false;
}

// A device the search trusted that is now something else loses its trust
// and its pairing, said once.
void reconsider(BluezSearch &s, const std::string &path, Device &d)
{
	// Only a trusted device's driver is looked for in sysfs.
	if (!d.paired || !d.trusted || !forfeitsTrust(factsOf(d, hidDriverOf(s.sysRoot, lower(d.address)))))
		return;
	setTrusted(s, path, false);
	unpair(s, path);
	d.trusted = d.paired = false;
	s.strangers.insert(path);
	notice("il dispositivo " + (d.name.empty() ? d.address : d.name + " (" + d.address + ")") +
	       " non si presenta più come un wiimote: tolti la fiducia e l'associazione");
}

} // namespace

namespace {

// The adapters and devices BlueZ has: the first powered adapter is searched
// with, and discovery started on it.
int onInventory(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	auto *s = static_cast<BluezSearch *>(userdata);
	BringIn &b = *s->starting;
	b.answered = true;
	if (sd_bus_message_is_method_error(reply, nullptr))
		return onAnswer(reply, &b, nullptr);
	std::vector<std::string> adapters, powered;
	std::map<std::string, std::string> addresses;
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
				addresses[path] = d.address;
				adapters.push_back(path);
				if (d.powered)
					powered.push_back(path);
			}
		}
	}
	std::sort(adapters.begin(), adapters.end());
	std::sort(powered.begin(), powered.end());
	if (!powered.empty()) {
		s->adapter = powered.front();
		s->adapterAddress = addresses[s->adapter];
	} else
		b.message = adapters.empty() ? "nessun adattatore Bluetooth"
		                             : "l'adattatore " + adapters.front() + " è spento (bluetoothctl power on)";
	return 0;
}

// Takes the start one stage on: the inventory, then discovery. False once
// Bluetooth cannot help, said.
bool advanceStart(BluezSearch &s)
{
	BringIn &b = *s.starting;
	if (!b.answered)
		return true;
	std::string why;
	if (b.stage == BringIn::Inventory) {
		if (b.message.empty()) {
			for (auto &[path, d] : s.devices)
				if (d.adapter == s.adapter)
					reconsider(s, path, d);
			Message filter = newCall(s, s.adapter, kAdapter, "SetDiscoveryFilter");
			if (filter && sd_bus_message_append(filter.get(), "a{sv}", 1, "Transport", "s", "bredr") >= 0)
				send(s, filter, nullptr, nullptr, nullptr);
			b.path = s.adapter;
			await(s, b, BringIn::Starting, "StartDiscovery", kAdapter);
			return true;
		}
		why = b.error.empty() ? b.message : "bluetoothd non risponde (" + b.message + ")";
	} else if (b.error.empty() || b.error == "org.bluez.Error.InProgress") {
		s.discovering = true;
		s.radioUntil = now() + kFirstGeneralTurn;
		s.starting.reset();
		return true;
	} else {
		why = "impossibile avviare la ricerca su " + s.adapter + " (" + b.message + ")";
	}
	cannotHelp(why);
	s.starting.reset();
	return false;
}

bool known(const BluezSearch &s, const std::string &address)
{
	for (auto &[path, d] : s.devices)
		if (d.adapter == s.adapter && d.address == address)
			return true;
	return false;
}

// A device heard by the limited inquiry: if bluetoothd knows it, the
// search pairs it as any other; if not, a connection makes bluetoothd add
// it.
void heardLimited(BluezSearch &s, const Heard &h, Time t)
{
	if (!remoteClass(h.deviceClass) || !s.heard.insert(h.address).second || known(s, h.address))
		return;
	Socket l2cap = reach(s.adapterAddress, h.address);
	if (l2cap.isOpen())
		s.reaching[h.address] = {std::move(l2cap), t + kReachFor};
	else
		s.heard.erase(h.address); // heard anew by the next inquiry
}

// Asks the adapter for `method`, whose answer the radio, `next` now, awaits.
void turnTo(BluezSearch &s, Radio next, const char *method)
{
	s.turning = std::make_unique<BringIn>();
	s.turning->path = s.adapter;
	await(s, *s.turning, BringIn::Starting, method, kAdapter);
	s.radio = next;
}

// Hands the radio from bluetoothd's discovery to the limited inquiry and
// back, as their turns end. A pairing under way keeps the radio as it is;
// a turn that would begin within a second of the deadline does not.
void turnRadio(BluezSearch &s, Time t, Time deadline)
{
	// One that bluetoothd has not added in time is heard anew by a later
	// inquiry.
	for (auto it = s.reaching.begin(); it != s.reaching.end();) {
		if (t < it->second.until) {
			++it;
			continue;
		}
		if (!known(s, it->first))
			s.heard.erase(it->first);
		it = s.reaching.erase(it);
	}
	BringIn *call = s.turning.get();
	bool answered = call && call->answered;
	switch (s.radio) {
	case Radio::General:
		if (t < s.radioUntil || s.bringing || t + std::chrono::seconds(1) >= deadline)
			return;
		if (!s.inquiry.isOpen()) {
			std::string why;
			int error = 0;
			s.inquiry = openInquiry(std::atoi(s.adapter.c_str() + s.adapter.rfind("hci") + 3), why, error);
			// A controller bluetoothd has and the kernel has not: a
			// stand-in bluetoothd, nothing the operator can change.
			if (!s.inquiry.isOpen()) {
				if (!toldLimited && error != ENODEV && error != EAFNOSUPPORT) {
					toldLimited = true;
					notice("ricerca limitata non disponibile su " + s.adapter + ": " + why +
					       " (i wiimote che rispondono solo a quella non saranno trovati)");
				}
				s.radio = Radio::Off;
				return;
			}
		}
		turnTo(s, Radio::Stopping, "StopDiscovery");
		return;
	case Radio::Stopping:
		if (!answered)
			return;
		s.discovering = false;
		s.turning.reset();
		{
			// What the socket heard before, the end of bluetoothd's inquiry
			// among it, is not the limited inquiry's.
			std::vector<Heard> before;
			bool begun = false;
			readInquiry(s.inquiry, before, begun);
		}
		if (startLimitedInquiry(s.inquiry, kLimitedLength)) {
			s.inquiryBegun = false;
			s.radio = Radio::Limited;
			s.radioUntil = t + kLimitedLength * Ms(1280) + kLimitedGrace;
			return;
		}
		break;
	case Radio::Limited: {
		std::vector<Heard> heard;
		InquiryEvent e = readInquiry(s.inquiry, heard, s.inquiryBegun);
		for (const Heard &h : heard)
			heardLimited(s, h, t);
		if (e == InquiryEvent::None && t < s.radioUntil)
			return;
		// The controller inquires for someone else: another program's
		// discovery, which bluetoothd keeps up after the search's ends.
		if (e == InquiryEvent::Refused && !toldRefused) {
			toldRefused = true;
			notice("ricerca limitata rifiutata da " + s.adapter +
			       ": un altro programma sta cercando dispositivi Bluetooth (le impostazioni Bluetooth aperte, "
			       "bluetoothctl scan on); chiudilo, o i wiimote che rispondono solo a quella non saranno trovati");
		}
		if (e == InquiryEvent::None)
			cancelInquiry(s.inquiry);
		break;
	}
	case Radio::Starting:
		if (!answered)
			return;
		s.discovering = call->error.empty() || call->error == "org.bluez.Error.InProgress";
		s.turning.reset();
		s.radio = Radio::General;
		s.radioUntil = t + kGeneralTurn;
		return;
	case Radio::Off:
		return;
	}
	// bluetoothd's turn again.
	turnTo(s, Radio::Starting, "StartDiscovery");
}

} // namespace

void BluezSearchEnd::operator()(BluezSearch *s) const
{
	// A start still unanswered when the search ends at its deadline is said
	// as such; a search that ended early has found what it wanted.
	bool timedOut = now() >= s->deadline;
	if (timedOut && s->starting && s->starting->stage == BringIn::Starting && !s->starting->answered)
		cannotHelp("impossibile avviare la ricerca su " + s->adapter + " (bluetoothd non ha risposto in tempo)");
	else if (timedOut && s->starting && !s->starting->answered)
		cannotHelp("bluetoothd non risponde (nessuna risposta in tempo)");
	if (s->radio == Radio::Limited)
		cancelInquiry(s->inquiry);
	// What the search gives up on is cancelled in bluetoothd; nothing of
	// it is waited for (the bus is flushed as it closes).
	if (s->bringing)
		cancelPairing(*s, *s->bringing);
	if (s->discovering || s->radio == Radio::Starting)
		send(*s, newCall(*s, s->adapter, kAdapter, "StopDiscovery"), nullptr, nullptr, nullptr);
	delete s;
}

std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(const std::string &sysRoot, Time deadline,
                                                              bool bindsWithoutId)
{
	// Without a controller the kernel knows, bluetoothd has nothing to
	// search with (Debian's unit does not even start it).
	if (entries(sysRoot + "/class/bluetooth").empty()) {
		cannotHelp("nessun adattatore Bluetooth su questa macchina: giocano solo i wiimote già collegati");
		return nullptr;
	}
	std::unique_ptr<BluezSearch, BluezSearchEnd> s(new BluezSearch);
	s->bindsWithoutId = bindsWithoutId;
	s->sysRoot = sysRoot;
	sd_bus *bus = nullptr;
	int rc = sd_bus_open_system(&bus);
	s->bus.reset(bus);
	if (rc < 0) {
		cannotHelp(std::string("impossibile raggiungere il bus di sistema: ") + std::strerror(-rc));
		return nullptr;
	}
	s->deadline = s->callsUntil = deadline;
	// Signals first, so nothing said after the inventory is missed.
	sd_bus_slot *slot = nullptr;
	if (sd_bus_match_signal_async(bus, &slot, kService, nullptr, "org.freedesktop.DBus.ObjectManager",
	                              "InterfacesAdded", onInterfacesAdded, nullptr, s.get()) >= 0)
		s->added.reset(slot);
	if (sd_bus_match_signal_async(bus, &slot, kService, nullptr, "org.freedesktop.DBus.Properties",
	                              "PropertiesChanged", onPropertiesChanged, nullptr, s.get()) >= 0)
		s->changed.reset(slot);
	s->starting = std::make_unique<BringIn>();
	s->starting->stage = BringIn::Inventory;
	if (!send(*s, newCall(*s, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"), &slot,
	          onInventory, s.get())) {
		cannotHelp("bluetoothd non risponde (impossibile chiedergli i dispositivi)");
		return nullptr;
	}
	s->starting->call.reset(slot);
	return s;
}

namespace {

// The next device to bring in: one worth pairing, in range, on the
// adapter, and not resting; of those, the one tried longest ago (never
// tried: first), so that every remote pressed gets its turn whatever
// failed before it.
std::map<std::string, Device>::iterator nextToBringIn(BluezSearch &s, Time t)
{
	auto best = s.devices.end();
	Time bestTried = kNever;
	for (auto it = s.devices.begin(); it != s.devices.end(); ++it) {
		const std::string &path = it->first;
		const Device &d = it->second;
		auto tried = s.resting.find(path);
		Time triedAt = tried == s.resting.end() ? Time::min() : tried->second;
		// One heard by the limited inquiry is in range; one the search
		// reached for bluetoothd to add is connected already.
		bool heard = s.heard.count(d.address) > 0;
		if (d.adapter != s.adapter || (d.connected && !s.reaching.count(d.address)) || !(d.inRange || heard) ||
		    (tried != s.resting.end() && t < triedAt + kRetryAfter) || s.strangers.count(path))
			continue;
		if (!worthPairing(factsOf(d))) {
			if (misnamedLookalike(factsOf(d)) && toldMisnamed.insert(d.address).second)
				notice("il dispositivo \"" + d.name + "\" (" + d.address +
				       ") sembra un wiimote ma non ne ha il nome: il driver hid-wiimote prende solo "
				       "\"Nintendo RVL-CNT-01\" e \"Nintendo RVL-CNT-01-TR\", lasciato stare");
			continue;
		}
		if (best == s.devices.end() || triedAt < bestTried) {
			best = it;
			bestTried = triedAt;
		}
	}
	return best;
}

// When the search has next something to do that no message, answer or
// inquiry event will wake it for: the radio's turn over, a device reached
// or tried given up on, a Device ID asked for again. What is past is not
// waited for: a turn held by a pairing, or kept to the end, moves on with
// the pairing's answer or not at all.
Time nextTimer(const BluezSearch &s, Time t)
{
	Time next = kNever;
	auto consider = [&](Time at) {
		if (at > t)
			next = std::min(next, at);
	};
	if (s.radio == Radio::General || s.radio == Radio::Limited)
		consider(s.radioUntil);
	for (auto &[address, r] : s.reaching)
		consider(r.until);
	for (auto &[path, at] : s.resting)
		consider(at + kRetryAfter);
	if (s.bringing && s.bringing->stage == BringIn::AwaitingId)
		consider(t + kAskIdEvery);
	return next;
}

} // namespace

void stepBluezSearch(BluezSearch &s, Time until, Time deadline, int room, int wake)
{
	// A call begun before the deadline is seen through a while longer.
	s.callsUntil = deadline + kBluezCallGrace;
	// What BlueZ has said so far, then until `until` at most for more; the
	// wait is spent even when there is nothing to do, or no bus left to do
	// it on.
	bool woken = false;
	for (;;) {
		int rc;
		while ((rc = sd_bus_process(s.bus.get(), nullptr)) > 0) {
		}
		Time t = now();
		if (s.starting && !advanceStart(s))
			s.failed = true;
		if (s.bringing && (rc < 0 || t >= s.callsUntil))
			finish(s, false, t);
		if (s.bringing && advance(s, t))
			--room;
		if (rc >= 0 && !s.failed && !s.starting)
			turnRadio(s, t, deadline);
		auto next = rc < 0 || s.starting || s.failed || s.bringing || room <= 0 || t >= deadline
		            ? s.devices.end()
		            : nextToBringIn(s, t);
		if (next != s.devices.end()) {
			Device &d = next->second;
			s.bringing = std::make_unique<BringIn>();
			s.bringing->path = next->first;
			s.bringing->device = &d;
			s.bringing->wasPaired = d.paired;
			if (d.paired) {
				// Paired before: judged by what BlueZ has read of it, as if
				// paired now.
				s.bringing->stage = BringIn::AwaitingId;
				s.bringing->until = t;
				s.bringing->noIdSince = Time::min() + kLateDeviceId;
				advance(s, t);
			} else {
				await(s, *s.bringing, BringIn::Pairing, "Pair");
			}
		}
		if (t >= until || woken)
			break;
		int events = rc < 0 ? -1 : sd_bus_get_events(s.bus.get());
		pollfd p[3] = {{sd_bus_get_fd(s.bus.get()), static_cast<short>(events < 0 ? 0 : events), 0},
		               {s.radio == Radio::Limited ? s.inquiry.fd : -1, POLLIN, 0},
		               {wake, POLLIN, 0}};
		uint64_t timeout = UINT64_MAX;
		Time wakeAt = until;
		if (rc >= 0 && sd_bus_get_timeout(s.bus.get(), &timeout) >= 0 && timeout != UINT64_MAX) {
			// sd-bus's own timeouts (a call's) are in CLOCK_MONOTONIC, as
			// the steady clock is.
			Time busWake{std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(timeout))};
			wakeAt = std::min(wakeAt, busWake);
		}
		wakeAt = std::min(wakeAt, nextTimer(s, t));
		if (rc < 0 || p[0].fd < 0 || events < 0 || s.failed) {
			sleepUntil(until);
			break;
		}
		// What woke it is seen to before the turn ends.
		woken = waitUntil(p, 3, wakeAt) > 0 && (p[2].revents & POLLIN);
	}
}

int awaitingBind(BluezSearch &s, const std::set<std::string> &bound, Time t)
{
	int n = 0;
	for (auto it = s.awaiting.begin(); it != s.awaiting.end();) {
		if (t >= it->second) {
			it = s.awaiting.erase(it);
			continue;
		}
		n += !bound.count(it->first);
		++it;
	}
	return n;
}

Time nextBindDue(const BluezSearch &s)
{
	Time next = kNever;
	for (auto &[address, until] : s.awaiting)
		next = std::min(next, until);
	return next;
}

bool owesRemotes(const BluezSearch &s, Time t)
{
	return s.bringing || std::any_of(s.awaiting.begin(), s.awaiting.end(),
	                                 [t](const auto &a) { return t < a.second; });
}

void tookRemote(BluezSearch &s, const std::string &uniq, bool answered)
{
	s.awaiting.erase(uniq);
	auto it = s.lookalikes.find(uniq);
	if (it == s.lookalikes.end() || !answered)
		return;
	setTrusted(s, it->second, true);
	s.lookalikes.erase(it);
}

bool bluetoothFailed(const BluezSearch &s)
{
	return s.failed;
}

} // namespace wiiuse_linux
