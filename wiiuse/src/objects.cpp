#include "objects.h"

#include "bus.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

namespace wiiuse_linux {

namespace {

const char kHidUuid[] = "00001124-0000-1000-8000-00805f9b34fb";

} // namespace

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

void readInventory(sd_bus_message *reply, Inventory &inventory)
{
	if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") < 0)
		return;
	while (sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
		const char *path = nullptr;
		Device d;
		bool isAdapter = false, isDevice = false;
		if (sd_bus_message_read(reply, "o", &path) < 0 || readInterfaces(reply, d, isAdapter, isDevice) < 0 ||
		    sd_bus_message_exit_container(reply) < 0)
			break;
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
