// The kernel driver's remotes as sysfs shows them. Every path starts from a
// root given by the caller ("/sys" and "/dev" on a real system).
#ifndef WIIUSE_SYSFS_H
#define WIIUSE_SYSFS_H

#include <set>
#include <string>
#include <vector>

namespace wiiuse_linux {

// A remote the driver has bound and finished probing.
struct Found {
	std::string id;   // HID id, e.g. 0005:057E:0306.0003
	std::string dir;  // its sysfs directory
	std::string core; // event node of "Nintendo Wii Remote"
	std::string ir;   // event node of "Nintendo Wii Remote IR", or empty
	std::string hidraw; // its raw HID node, or empty
	std::vector<std::string> devices; // sysfs directories of its event devices, raw node and LEDs
	std::string uniq; // its Bluetooth address, as the kernel gives it: the remote's identity
};

// The remotes under sysRoot, in the order they appeared; those whose ids
// are in `skip` (taken already) are not read.
std::vector<Found> discover(const std::string &sysRoot, const std::string &devRoot,
                            const std::set<std::string> *skip = nullptr);

// The names in a directory, sorted, those beginning with a dot left out;
// none when it cannot be read.
std::vector<std::string> entries(const std::string &dir);

// The first line of a file, without its line break; empty when unreadable.
std::string readLine(const std::string &path);

// brightness files of LEDs 1 to 4 of a remote (empty where missing).
std::vector<std::string> ledFiles(const Found &remote);

// The driver's battery `capacity` (raw * 100 / 255) in percent of the
// full raw level, 200: raw 200 gives 100. The driver's capacity is not
// read: reading it makes the driver ask the remote and wait up to a
// second for the answer; the raw status report's byte is scaled as the
// driver would.
int batteryFromCapacity(int capacity);

// The driver bound to the HID device of this Bluetooth address
// ("00:19:1d:00:00:01"): "wiimote", "hid-generic", ...; empty where none is.
std::string hidDriverOf(const std::string &sysRoot, const std::string &address);

// Whether the driver still has the remote bound: its sysfs entries are
// there.
bool stillBound(const Found &remote);

// The driver's name of the extension plugged in: "none", "nunchuk", ...
std::string extensionName(const Found &remote);

} // namespace wiiuse_linux

#endif
