#include "udev.h"

#include <systemd/sd-device.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

struct DeviceUnref {
	void operator()(sd_device *d) const { sd_device_unref(d); }
};

} // namespace

bool settled(const Found &f, const std::string &sysRoot)
{
	if (sysRoot != "/sys" || access("/run/udev/control", F_OK) != 0)
		return true;
	for (const std::string &dir : f.devices) {
		char real[PATH_MAX];
		sd_device *d = nullptr;
		if (!realpath(dir.c_str(), real) || sd_device_new_from_syspath(&d, real) < 0)
			return false; // gone meanwhile
		std::unique_ptr<sd_device, DeviceUnref> device(d);
		// Initialized means udev has written its database entry: before
		// its rules' programs have run. Where udev marks them as running,
		// it is not done yet.
		const char *processing = nullptr;
		if (sd_device_get_is_initialized(d) <= 0 ||
		    (sd_device_get_property_value(d, "ID_PROCESSING", &processing) >= 0 &&
		     std::strcmp(processing, "1") == 0))
			return false;
	}
	return true;
}

bool bindsWithoutDeviceId(const std::string &sysRoot)
{
	// "/sys" is the system's; "ROOT/sys" a tree's, with its own udev.
	std::string root = sysRoot;
	if (root.size() >= 4 && root.compare(root.size() - 4, 4, "/sys") == 0)
		root.resize(root.size() - 4);
	for (const char *dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
		std::ifstream rule(root + dir + "/70-hitcheck-wiimote.rules");
		if (!rule)
			continue;
		std::stringstream text;
		text << rule.rdbuf();
		return text.str().find("ENV{HID_ID}==\"0005:00000000:00000000\"") != std::string::npos;
	}
	return false;
}

bool readyToTake(const Found &f, const std::string &sysRoot)
{
	return settled(f, sysRoot) && access(f.core.c_str(), R_OK) == 0;
}

} // namespace wiiuse_linux
