#include "objects.h"


#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

namespace wiiuse_linux {

namespace {

const char kHidUuid[] = "00001124-0000-1000-8000-00805f9b34fb";

} // namespace

const char kAdapterInterface[] = "org.bluez.Adapter1";
const char kDeviceInterface[] = "org.bluez.Device1";

void apply(const Props &p, Device &d)
{
	auto take = [](auto &to, const auto &from) {
		if (from)
			to = *from;
	};
	take(d.adapter, p.adapter);
	take(d.address, p.address);
	take(d.name, p.name);
	take(d.modalias, p.modalias);
	take(d.paired, p.paired);
	take(d.connected, p.connected);
	take(d.trusted, p.trusted);
	take(d.powered, p.powered);
	take(d.hid, p.hid);
	take(d.resolved, p.resolved);
	take(d.deviceClass, p.deviceClass);
	d.inRange = d.inRange || p.inRange;
}

int readProps(sd_bus_message *m, Props &p)
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
			(k == "Name" ? p.name : k == "Modalias" ? p.modalias : p.address) = s;
		} else if (!std::strcmp(type, "o") && k == "Adapter") {
			const char *s = nullptr;
			if ((rc = sd_bus_message_read(m, "o", &s)) < 0)
				return rc;
			p.adapter = s;
		} else if (!std::strcmp(type, "as") && k == "UUIDs") {
			if ((rc = sd_bus_message_enter_container(m, 'a', "s")) < 0)
				return rc;
			const char *uuid = nullptr;
			bool hid = false;
			while ((rc = sd_bus_message_read(m, "s", &uuid)) > 0)
				hid = hid || !strcasecmp(uuid, kHidUuid);
			p.hid = hid;
			if (rc < 0 || (rc = sd_bus_message_exit_container(m)) < 0)
				return rc;
		} else if (!std::strcmp(type, "u") && k == "Class") {
			uint32_t c = 0;
			if ((rc = sd_bus_message_read(m, "u", &c)) < 0)
				return rc;
			p.deviceClass = c;
		} else if (!std::strcmp(type, "b") && (k == "Paired" || k == "Connected" || k == "Powered" ||
		                                       k == "Trusted" || k == "ServicesResolved")) {
			int b = 0;
			if ((rc = sd_bus_message_read(m, "b", &b)) < 0)
				return rc;
			(k == "Paired"      ? p.paired
			 : k == "Connected" ? p.connected
			 : k == "Trusted"   ? p.trusted
			 : k == "Powered"   ? p.powered
			                    : p.resolved) = b;
		} else {
			if (k == "RSSI")
				p.inRange = true; // BlueZ gives it while the device answers inquiries
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

int readInterfaces(sd_bus_message *m, Props &p, bool &isAdapter, bool &isDevice, bool namesOnly)
{
	if (namesOnly) {
		int rc = sd_bus_message_enter_container(m, 'a', "s");
		const char *iface = nullptr;
		while (rc >= 0 && (rc = sd_bus_message_read(m, "s", &iface)) > 0) {
			isAdapter = isAdapter || !std::strcmp(iface, kAdapterInterface);
			isDevice = isDevice || !std::strcmp(iface, kDeviceInterface);
		}
		return rc < 0 ? rc : sd_bus_message_exit_container(m);
	}
	int rc = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
	if (rc < 0)
		return rc;
	while ((rc = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
		const char *iface = nullptr;
		if ((rc = sd_bus_message_read(m, "s", &iface)) < 0)
			return rc;
		bool adapter = !std::strcmp(iface, kAdapterInterface), device = !std::strcmp(iface, kDeviceInterface);
		isAdapter = isAdapter || adapter;
		isDevice = isDevice || device;
		rc = adapter || device ? readProps(m, p) : sd_bus_message_skip(m, "a{sv}");
		if (rc < 0 || (rc = sd_bus_message_exit_container(m)) < 0)
			return rc;
	}
	if (rc < 0)
		return rc;
	return sd_bus_message_exit_container(m);
}

void readInventory(sd_bus_message *reply, Inventory &inventory)
{
	if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") < 0)
		return;
	while (sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
		const char *path = nullptr;
		Props p;
		bool isAdapter = false, isDevice = false;
		if (sd_bus_message_read(reply, "o", &path) < 0 || readInterfaces(reply, p, isAdapter, isDevice) < 0 ||
		    sd_bus_message_exit_container(reply) < 0)
			break;
		Device d;
		apply(p, d);
		if (isDevice)
			inventory.devices[path] = d;
		if (isAdapter)
			inventory.adapters[path] = d;
	}
}

Facts factsOf(const Device &d, const std::string &driver)
{
	return {d.name, d.modalias, d.deviceClass, d.hid, d.trusted, driver};
}

std::string lower(std::string address)
{
	std::transform(address.begin(), address.end(), address.begin(),
	               [](unsigned char c) { return std::tolower(c); });
	return address;
}

} // namespace wiiuse_linux
