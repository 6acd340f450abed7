// What udev has done with a remote's devices. The driver makes a remote's
// nodes root's; udev then gives them to the operator and, through the
// programs its rules run, opens the remote's LEDs.
#ifndef WIIUSE_UDEV_H
#define WIIUSE_UDEV_H

#include "sysfs.h"

#include <memory>
#include <set>
#include <string>

namespace wiiuse_linux {

// Whether udev has finished with every device of the remote, the programs
// of its rules included where udev says they are still running
// (ID_PROCESSING=1, systemd 257 on). Where no udev runs (a container, a
// minimal machine), or the tree is not the system's, there is nothing to
// wait for. `done`: devices found settled at an earlier look, not asked
// about again (udev is done with a device once and for all), and those
// found now, added.
bool settled(const Found &f, const std::string &sysRoot, std::set<std::string> *done = nullptr);

// Whether a remote the driver has bound may be taken: settled, and its
// button node may be read.
bool readyToTake(const Found &f, const std::string &sysRoot, std::set<std::string> *done = nullptr);

// Whether udev binds a remote with no Device ID (a Bluetooth HID device
// 0000:0000 with a remote's name) to the driver: the project's rule as
// udev reads it, the first of its names in udev's directories, under the
// root that holds `sysRoot` (/etc, /run, /usr/local/lib, /usr/lib, /lib:
// the first holding it wins, an empty one masking those after it).
bool bindsWithoutDeviceId(const std::string &sysRoot);

// udev's word that one of a remote's devices (HID, input, raw, LED) was
// added, changed or removed, and that udev is done with it: what a search
// waits for instead of looking again and again.
struct DeviceWatch;
struct DeviceWatchEnd {
	void operator()(DeviceWatch *w) const;
};

// Null where no udev runs or the tree is not the system's.
std::unique_ptr<DeviceWatch, DeviceWatchEnd> watchDevices(const std::string &sysRoot);

// Readable when udev has said something.
int deviceEventsFd(const DeviceWatch &w);

// Takes what udev has said, without waiting.
void takeDeviceEvents(DeviceWatch &w);

} // namespace wiiuse_linux

#endif
