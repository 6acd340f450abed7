#include "udev.h"

#include "handle.h"

#include <systemd/sd-device.h>
#include <systemd/sd-event.h>

#include <fstream>
#include <sstream>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace wiiuse_linux {

struct DeviceWatch {
	Handle<sd_event, sd_event_unref> loop;
	Handle<sd_device_monitor, sd_device_monitor_unref> monitor;
};

void DeviceWatchEnd::operator()(DeviceWatch *w) const
{
	delete w;
}

namespace {

int onDeviceEvent(sd_device_monitor *, sd_device *, void *)
{
	return 0;
}

} // namespace

std::unique_ptr<DeviceWatch, DeviceWatchEnd> watchDevices(const std::string &sysRoot)
{
	// Without udev its monitor hears nothing: the search looks as often
	// as before.
	if (sysRoot != "/sys" || access("/run/udev/control", F_OK) != 0)
		return nullptr;
	std::unique_ptr<DeviceWatch, DeviceWatchEnd> w(new DeviceWatch);
	sd_event *loop = nullptr;
	sd_device_monitor *monitor = nullptr;
	if (sd_event_new(&loop) < 0)
		return nullptr;
	w->loop.reset(loop);
	if (sd_device_monitor_new(&monitor) < 0)
		return nullptr;
	w->monitor.reset(monitor);
	// The devices a remote has; the kernel filters the rest out.
	for (const char *subsystem : {"hid", "input", "hidraw", "leds"})
		if (sd_device_monitor_filter_add_match_subsystem_devtype(monitor, subsystem, nullptr) < 0)
			return nullptr;
	if (sd_device_monitor_attach_event(monitor, loop) < 0 || sd_device_monitor_start(monitor, onDeviceEvent, nullptr) < 0)
		return nullptr;
	return w;
}

int deviceEventsFd(const DeviceWatch &w)
{
	return sd_event_get_fd(w.loop.get());
}

void takeDeviceEvents(DeviceWatch &w)
{
	while (sd_event_run(w.loop.get(), 0) > 0) {
	}
}

bool settled(const Found &f, const std::string &sysRoot, std::set<std::string> *done)
{
	if (sysRoot != "/sys" || access("/run/udev/control", F_OK) != 0)
		return true;
	for (const std::string &dir : f.devices) {
		if (done && done->count(dir))
			continue;
		// sd-device follows the driver's links itself.
		sd_device *d = nullptr;
		if (sd_device_new_from_syspath(&d, dir.c_str()) < 0)
			return false; // gone meanwhile
		Handle<sd_device, sd_device_unref> device(d);
		// Initialized means udev has written its database entry: before
		// its rules' programs have run. Where udev marks them as running,
		// it is not done yet.
		const char *processing = nullptr;
		if (sd_device_get_is_initialized(d) <= 0 ||
		    (sd_device_get_property_value(d, "ID_PROCESSING", &processing) >= 0 &&
		     std::strcmp(processing, "1") == 0))
			return false;
		if (done)
			done->insert(dir);
	}
	return true;
}

bool bindsWithoutDeviceId(const std::string &sysRoot)
{
	// "/sys" is the system's; "ROOT/sys" a tree's, with its own udev.
	std::string root = sysRoot;
	if (root.size() >= 4 && root.compare(root.size() - 4, 4, "/sys") == 0)
		root.resize(root.size() - 4);
	for (const char *dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
	                        "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
		std::ifstream rule(root + dir + "/70-hitcheck-wiimote.rules");
		if (!rule)
			continue;
		std::stringstream text;
		text << rule.rdbuf();
		return text.str().find("ENV{HID_ID}==\"0005:00000000:00000000\"") != std::string::npos;
	}
	return false;
}

bool readyToTake(const Found &f, const std::string &sysRoot, std::set<std::string> *done)
{
	return settled(f, sysRoot, done) && access(f.core.c_str(), R_OK) == 0;
}

} // namespace wiiuse_linux
