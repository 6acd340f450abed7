#include "bus.h"

#include <algorithm>

namespace wiiuse_linux {

const char kService[] = "org.bluez";
const char kAdapter[] = "org.bluez.Adapter1";
const char kDevice[] = "org.bluez.Device1";

void BusUnref::operator()(sd_bus *bus) const
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

bool discoveryOn(const Call &call)
{
	return call.error.empty() || call.error == "org.bluez.Error.InProgress";
}

Message newCall(const Bus &bus, const std::string &path, const char *iface, const char *method)
{
	sd_bus_message *m = nullptr;
	sd_bus_message_new_method_call(bus.bus.get(), &m, kService, path.c_str(), iface, method);
	return Message(m);
}

bool send(const Bus &bus, const Message &m, sd_bus_slot **slot, sd_bus_message_handler_t handler, void *userdata)
{
	auto left = std::chrono::duration_cast<std::chrono::microseconds>(bus.callsUntil - now()).count();
	return m && sd_bus_call_async(bus.bus.get(), slot, m.get(), handler, userdata,
	                              static_cast<uint64_t>(std::max<long long>(left, 1000))) >= 0;
}

namespace {

int onAnswer(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *c = static_cast<Call *>(userdata);
	const sd_bus_error *e = sd_bus_message_get_error(m);
	c->answered = true;
	c->error = !e ? "" : e->name ? e->name : "org.freedesktop.DBus.Error.Failed";
	c->message = !e ? "" : e->message ? e->message : c->error;
	return 0;
}

// A property's value in a Get's answer.
int onValue(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *c = static_cast<Call *>(userdata);
	const char *value = nullptr;
	c->answered = true;
	if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_enter_container(m, 'v', "s") >= 0 &&
	    sd_bus_message_read(m, "s", &value) >= 0)
		c->value = value;
	return 0;
}

} // namespace

void await(const Bus &bus, Call &call, const std::string &path, const char *iface, const char *method)
{
	call.answered = false;
	call.error.clear();
	call.message.clear();
	sd_bus_slot *slot = nullptr;
	if (!send(bus, newCall(bus, path, iface, method), &slot, onAnswer, &call)) {
		call.answered = true;
		call.error = "org.freedesktop.DBus.Error.NoReply";
		call.message = "impossibile inviare la richiesta";
	}
	call.slot.reset(slot);
}

void tell(const Bus &bus, const std::string &path, const char *iface, const char *method)
{
	send(bus, newCall(bus, path, iface, method), nullptr, nullptr, nullptr);
}

void setTrusted(const Bus &bus, const std::string &path, bool trusted)
{
	Message m = newCall(bus, path, "org.freedesktop.DBus.Properties", "Set");
	if (m && sd_bus_message_append(m.get(), "ssv", kDevice, "Trusted", "b", trusted) >= 0)
		send(bus, m, nullptr, nullptr, nullptr);
}

void unpair(const Bus &bus, const std::string &adapter, const std::string &path)
{
	Message m = newCall(bus, adapter, kAdapter, "RemoveDevice");
	if (m && sd_bus_message_append(m.get(), "o", path.c_str()) >= 0)
		send(bus, m, nullptr, nullptr, nullptr);
}

void cancelPairing(const Bus &bus, const std::string &path)
{
	// Its answer is asked for, and not awaited: a call that asks for none
	// may go unheard.
	auto ignore = [](sd_bus_message *, void *, sd_bus_error *) { return 0; };
	send(bus, newCall(bus, path, kDevice, "CancelPairing"), nullptr, ignore, nullptr);
}

void askProperty(const Bus &bus, Call &call, const std::string &path, const char *property)
{
	Message m = newCall(bus, path, "org.freedesktop.DBus.Properties", "Get");
	sd_bus_slot *slot = nullptr;
	call.answered = false;
	call.value.clear();
	if (m && sd_bus_message_append(m.get(), "ss", kDevice, property) >= 0)
		send(bus, m, &slot, onValue, &call);
	call.slot.reset(slot);
}

} // namespace wiiuse_linux
