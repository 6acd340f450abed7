// BlueZ on the system bus, through sd-bus: calls sent without waiting, their
// answers and BlueZ's signals turned into events.
#include "handle.h"
#include "ports.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

namespace wiiuse_linux {

namespace {

const char kService[] = "org.bluez";

using Slot = Handle<sd_bus_slot, sd_bus_slot_unref>;
using Message = Handle<sd_bus_message, sd_bus_message_unref>;

struct Connection;

struct Pending {
	Connection *connection;
	uint64_t id;
	BusCall::Method method;
	Slot slot;
	bool done = false;
};

struct Connection {
	sd_bus *bus = nullptr;
	Slot added, removed, changed, owner;
	std::map<uint64_t, std::unique_ptr<Pending>> calls;
	std::vector<BusEvent> events;
	uint64_t next = 1;
	bool lost = false;

	Connection() = default;
	Connection(const Connection &) = delete;
	Connection &operator=(const Connection &) = delete;
	// What is still to be sent goes out, for a second at most: a system
	// bus that does not read (a hung dbus-daemon) holds nothing up.
	~Connection()
	{
		calls.clear();
		added.reset();
		removed.reset();
		changed.reset();
		owner.reset();
		if (!bus)
			return;
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

int onAnswer(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *p = static_cast<Pending *>(userdata);
	p->done = true;
	BusEvent e{BusEvent::Answer};
	e.call = p->id;
	if (const sd_bus_error *error = sd_bus_message_get_error(m)) {
		e.error = error->name ? error->name : "org.freedesktop.DBus.Error.Failed";
		e.message = error->message ? error->message : e.error;
	} else if (p->method == BusCall::Inventory) {
		readInventory(m, e.inventory);
	} else if (p->method == BusCall::AskModalias) {
		const char *value = nullptr;
		if (sd_bus_message_enter_container(m, 'v', "s") >= 0 && sd_bus_message_read(m, "s", &value) >= 0)
			e.value = value;
	}
	p->connection->events.push_back(std::move(e));
	return 0;
}

// An object added (its interfaces and their properties) or removed (its
// interfaces' names).
int objectEvent(sd_bus_message *m, Connection *c, BusEvent::Kind kind)
{
	const char *path = nullptr;
	BusEvent e{kind};
	if (sd_bus_message_read(m, "o", &path) >= 0 &&
	    readInterfaces(m, e.props, e.adapter, e.device, kind == BusEvent::Removed) >= 0 && (e.adapter || e.device)) {
		e.path = path;
		c->events.push_back(std::move(e));
	}
	return 0;
}

int onAdded(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	return objectEvent(m, static_cast<Connection *>(userdata), BusEvent::Added);
}

int onRemoved(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	return objectEvent(m, static_cast<Connection *>(userdata), BusEvent::Removed);
}

int onChanged(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *c = static_cast<Connection *>(userdata);
	const char *iface = nullptr;
	BusEvent e{BusEvent::Changed};
	if (sd_bus_message_read(m, "s", &iface) < 0 ||
	    (std::strcmp(iface, kDeviceInterface) && std::strcmp(iface, kAdapterInterface)) ||
	    readProps(m, e.props) < 0)
		return 0;
	e.path = sd_bus_message_get_path(m);
	c->events.push_back(std::move(e));
	return 0;
}

int onOwner(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *c = static_cast<Connection *>(userdata);
	const char *name = nullptr, *before = nullptr, *after = nullptr;
	if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || std::strcmp(name, kService))
		return 0;
	if (*before)
		c->events.push_back({BusEvent::Gone});
	if (*after)
		c->events.push_back({BusEvent::Back});
	return 0;
}

Message newCall(sd_bus *bus, const BusCall &call)
{
	const char *iface = kDeviceInterface, *member = methodName(call.method);
	switch (call.method) {
	case BusCall::Inventory:
		iface = "org.freedesktop.DBus.ObjectManager";
		break;
	case BusCall::Filter:
	case BusCall::StartDiscovery:
	case BusCall::StopDiscovery:
	case BusCall::Remove:
		iface = kAdapterInterface;
		break;
	case BusCall::Trust:
		iface = "org.freedesktop.DBus.Properties";
		member = "Set";
		break;
	case BusCall::AskModalias:
		iface = "org.freedesktop.DBus.Properties";
		member = "Get";
		break;
	default:
		break;
	}
	sd_bus_message *raw = nullptr;
	if (sd_bus_message_new_method_call(bus, &raw, kService, call.path.c_str(), iface, member) < 0)
		return nullptr;
	Message m(raw);
	int rc = 0;
	if (call.method == BusCall::Filter)
		rc = sd_bus_message_append(raw, "a{sv}", 1, "Transport", "s", "bredr");
	else if (call.method == BusCall::Remove)
		rc = sd_bus_message_append(raw, "o", call.arg.c_str());
	else if (call.method == BusCall::Trust)
		rc = sd_bus_message_append(raw, "ssv", kDeviceInterface, "Trusted", "b", call.flag);
	else if (call.method == BusCall::AskModalias)
		rc = sd_bus_message_append(raw, "ss", kDeviceInterface, "Modalias");
	return rc < 0 ? nullptr : std::move(m);
}

uint64_t send(Connection &c, const BusCall &call)
{
	Message m = newCall(c.bus, call);
	auto p = std::make_unique<Pending>(Pending{&c, c.next, call.method, nullptr});
	sd_bus_slot *slot = nullptr;
	// sd-bus's own time limit (its default, 25 s) is longer than any the
	// search sets on its clock, where the calls are given up.
	if (!m || sd_bus_call_async(c.bus, &slot, m.get(), onAnswer, p.get(), 0) < 0)
		return 0;
	p->slot.reset(slot);
	c.calls[c.next] = std::move(p);
	return c.next++;
}

} // namespace

const char *methodName(BusCall::Method m)
{
	static const char *const names[] = {"GetManagedObjects", "SetDiscoveryFilter", "StartDiscovery",
	                                    "StopDiscovery",     "Pair",               "Connect",
	                                    "Disconnect",        "CancelPairing",      "RemoveDevice",
	                                    "Trusted",           "Modalias"};
	return names[m];
}

BusPort systemBus(std::string &why)
{
	auto c = std::make_shared<Connection>();
	int rc = sd_bus_open_system(&c->bus);
	if (rc < 0) {
		c->bus = nullptr;
		why = std::strerror(-rc);
		return {};
	}
	// Signals first, so that nothing said after the inventory is missed.
	sd_bus_slot *slot = nullptr;
	const char *om = "org.freedesktop.DBus.ObjectManager";
	if (sd_bus_match_signal_async(c->bus, &slot, kService, nullptr, om, "InterfacesAdded", onAdded, nullptr,
	                              c.get()) >= 0)
		c->added.reset(slot);
	if (sd_bus_match_signal_async(c->bus, &slot, kService, nullptr, om, "InterfacesRemoved", onRemoved, nullptr,
	                              c.get()) >= 0)
		c->removed.reset(slot);
	if (sd_bus_match_signal_async(c->bus, &slot, kService, nullptr, "org.freedesktop.DBus.Properties",
	                              "PropertiesChanged", onChanged, nullptr, c.get()) >= 0)
		c->changed.reset(slot);
	if (sd_bus_add_match_async(c->bus, &slot,
	                           "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
	                           "member='NameOwnerChanged',arg0='org.bluez'",
	                           onOwner, nullptr, c.get()) >= 0)
		c->owner.reset(slot);
	BusPort port;
	port.call = [c](const BusCall &call) { return c->lost ? 0 : send(*c, call); };
	port.forget = [c](uint64_t id) { c->calls.erase(id); };
	port.take = [c](std::vector<BusEvent> &events) {
		int rc = 0;
		while (!c->lost && (rc = sd_bus_process(c->bus, nullptr)) > 0) {
		}
		c->lost = c->lost || rc < 0;
		for (auto it = c->calls.begin(); it != c->calls.end();)
			it = it->second->done ? c->calls.erase(it) : std::next(it);
		for (BusEvent &e : c->events)
			events.push_back(std::move(e));
		c->events.clear();
		return !c->lost;
	};
	port.waitOn = [c](pollfd &p, Time &due) {
		int events = c->lost ? -1 : sd_bus_get_events(c->bus);
		p = {c->lost ? -1 : sd_bus_get_fd(c->bus), static_cast<short>(events < 0 ? 0 : events), 0};
		uint64_t usec = UINT64_MAX;
		due = !c->lost && sd_bus_get_timeout(c->bus, &usec) >= 0 ? fromMonotonic(usec) : kNever;
	};
	return port;
}

HciPort kernelHci()
{
	return {openInquiry, reach};
}

namespace {

BluetoothPorts ports = {systemBus, kernelHci};

} // namespace

void useBluetooth(BluetoothPorts p)
{
	ports = p;
}

BluetoothPorts bluetooth()
{
	return ports;
}

} // namespace wiiuse_linux
