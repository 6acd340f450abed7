// What udev has done with a remote's devices. The driver makes a remote's
// nodes root's; udev then gives them to the operator and, through the
// programs its rules run, opens the remote's LEDs.
#ifndef WIIUSE_UDEV_H
#define WIIUSE_UDEV_H

#include "sysfs.h"

#include <string>

namespace wiiuse_linux {

// Whether udev has finished with every device of the remote, the programs
// of its rules included where udev says they are still running
// (ID_PROCESSING=1, systemd 257 on). Where no udev runs (a container, a
// minimal machine), or the tree is not the system's, there is nothing to
// wait for.
bool settled(const Found &f, const std::string &sysRoot);

// Whether a remote the driver has bound may be taken: settled, and its
// button node may be read.
bool readyToTake(const Found &f, const std::string &sysRoot);

// Whether udev binds a remote with no Device ID (a Bluetooth HID device
// 0000:0000 with a remote's name) to the driver: the project's rule as
// udev reads it, the first of its names in udev's directories, under the
// root that holds `sysRoot`.
bool bindsWithoutDeviceId(const std::string &sysRoot);

} // namespace wiiuse_linux

#endif
