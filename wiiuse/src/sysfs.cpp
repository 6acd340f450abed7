#include "sysfs.h"

#include "handle.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <unistd.h>

namespace wiiuse_linux {

std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> names;
	Handle<DIR, closedir> d(opendir(dir.c_str()));
	if (!d)
		return names;
	while (dirent *e = readdir(d.get()))
		if (e->d_name[0] != '.')
			names.push_back(e->d_name);
	std::sort(names.begin(), names.end());
	return names;
}

namespace {

bool startsWith(const std::string &s, const std::string &prefix)
{
	return s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string &s, const std::string &suffix)
{
	return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The event node of the input device called `name` under a remote; its
// sysfs directory goes to `devices`.
std::string eventNode(const std::string &dir, const std::string &devRoot, const std::string &name,
                      std::vector<std::string> &devices)
{
	for (const std::string &input : entries(dir + "/input")) {
		std::string inputDir = dir + "/input/" + input;
		if (readLine(inputDir + "/name") != name)
			continue;
		for (const std::string &e : entries(inputDir))
			if (startsWith(e, "event")) {
				devices.push_back(inputDir + "/" + e);
				return devRoot + "/input/" + e;
			}
	}
	return "";
}

// The HID device's uniq: a remote's Bluetooth address, as the kernel
// writes it ("00:19:1d:00:00:01"); empty when it is anything else. The
// kernel writes the device's name (HID_NAME, the device's own word, which
// may hold a line break) before its uniq in the uevent: the last HID_UNIQ
// line is the kernel's.
std::string hidUniq(const std::string &dir)
{
	std::ifstream in(dir + "/uevent");
	std::string uniq;
	for (std::string line; std::getline(in, line);)
		if (startsWith(line, "HID_UNIQ="))
			uniq = line.substr(9);
	if (uniq.size() != 17)
		return "";
	for (size_t i = 0; i < uniq.size(); ++i)
		if (i % 3 == 2 ? uniq[i] != ':' : !std::isxdigit(static_cast<unsigned char>(uniq[i])))
			return "";
	return uniq;
}

} // namespace

std::string readLine(const std::string &path)
{
	std::ifstream in(path);
	std::string line;
	std::getline(in, line);
	return line;
}

std::vector<Found> discover(const std::string &sysRoot, const std::string &devRoot,
                            const std::set<std::string> *skip)
{
	std::vector<Found> found;
	std::string driver = sysRoot + "/bus/hid/drivers/wiimote";
	for (const std::string &id : entries(driver)) {
		if (id.find(':') == std::string::npos || (skip && skip->count(id)))
			continue; // bind, unbind, module, ..., or a remote taken
		Found f{id, driver + "/" + id, "", "", "", {}, ""};
		std::string devtype = readLine(f.dir + "/devtype");
		if (devtype.empty() || devtype == "pending")
			continue;
		f.core = eventNode(f.dir, devRoot, "Nintendo Wii Remote", f.devices);
		if (f.core.empty())
			continue; // still being set up
		f.uniq = hidUniq(f.dir);
		f.ir = eventNode(f.dir, devRoot, "Nintendo Wii Remote IR", f.devices);
		for (const std::string &raw : entries(f.dir + "/hidraw")) {
			f.hidraw = devRoot + "/" + raw;
			f.devices.push_back(f.dir + "/hidraw/" + raw);
		}
		for (const std::string &led : entries(f.dir + "/leds"))
			f.devices.push_back(f.dir + "/leds/" + led);
		found.push_back(f);
	}
	// The kernel numbers HID devices as they appear: the number after the
	// '.', in hexadecimal. The first connected comes first, whatever its
	// product.
	auto sequence = [](const Found &f) { return std::strtoul(f.id.c_str() + f.id.rfind('.') + 1, nullptr, 16); };
	std::stable_sort(found.begin(), found.end(),
	                 [&](const Found &a, const Found &b) { return sequence(a) < sequence(b); });
	return found;
}

std::vector<std::string> ledFiles(const Found &remote)
{
	std::vector<std::string> files(4);
	for (const std::string &led : entries(remote.dir + "/leds"))
		for (int i = 0; i < 4; ++i)
			if (endsWith(led, ":blue:p" + std::to_string(i)))
				files[static_cast<size_t>(i)] = remote.dir + "/leds/" + led + "/brightness";
	return files;
}

int batteryFromCapacity(int capacity)
{
	// The driver gives raw * 100 / 255, rounded down; the raw value is taken
	// from the middle of the range that rounds to `capacity`. Fresh
	// batteries read about 200, the full level.
	int raw = ((2 * capacity + 1) * 255 + 100) / 200;
	return std::min(100, raw / 2);
}

std::string hidDriverOf(const std::string &sysRoot, const std::string &address)
{
	std::string devices = sysRoot + "/bus/hid/devices";
	for (const std::string &id : entries(devices))
		if (hidUniq(devices + "/" + id) == address) {
			// Its driver link, not the uevent's DRIVER line, which comes
			// before the name a device may forge lines with.
			char link[PATH_MAX];
			ssize_t n = readlink((devices + "/" + id + "/driver").c_str(), link, sizeof link - 1);
			if (n <= 0)
				return "";
			std::string target(link, static_cast<size_t>(n));
			return target.substr(target.rfind('/') + 1);
		}
	return "";
}

bool stillBound(const Found &remote)
{
	return !readLine(remote.dir + "/devtype").empty();
}

std::string extensionName(const Found &remote)
{
	return readLine(remote.dir + "/extension");
}

} // namespace wiiuse_linux
