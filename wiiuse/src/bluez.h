// Remotes that are not connected yet, found and connected through BlueZ
// (org.bluez on the system bus) during a search, so that the kernel's
// driver binds them and the search takes them from sysfs.
#ifndef WIIUSE_BLUEZ_H
#define WIIUSE_BLUEZ_H

#include "clock.h"

#include <cstdint>
#include <memory>
#include <string>

namespace wiiuse_linux {

struct BluezSearch;

struct BluezSearchEnd {
	void operator()(BluezSearch *search) const;
};

// A search through BlueZ on the first powered adapter; null when there is
// no system bus. What BlueZ answers comes at the search's later turns: when
// it cannot help (no bluetoothd, no adapter, adapter off, discovery refused
// or not started within the search), that is said on standard error, once
// in the process. `bindsWithoutId`: this machine's udev binds a remote that
// has no Device ID to the driver, so such a remote may be trusted.
std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(Time deadline, bool bindsWithoutId);

// Waits until `until` at most for what BlueZ says, and pairs and connects
// the Wii Remotes in range, one at a time, at most `room` of them in all,
// beginning none at or after `deadline`. No call waits for its answer: a
// pairing goes on across turns. bluetoothd's general discovery and the
// search's own limited inquiry take the radio in turns. Returns how many
// it has connected since the start.
int stepBluezSearch(BluezSearch &search, Time until, Time deadline, int room);

// Whether a remote is being paired or connected: the search sees it
// through, until kBluezCallGrace past its deadline at most.
bool bringingIn(const BluezSearch &search);

// Whether the kernel's driver binds a device of this modalias: vendor
// 057e, product 0306 (Wii Remote) or 0330 (Wii Remote Plus).
bool driverBinds(const std::string &modalias);

// Worth pairing as a Wii Remote or Wii Remote Plus: by its Bluetooth name
// or its modalias; or, while its name is not known yet, by the class of
// device it answers an inquiry with (0x002504, 0x000508). Only its Device
// ID, once paired, decides whether it is trusted and connected.
bool isWiiRemote(const std::string &name, const std::string &modalias, uint32_t deviceClass);

} // namespace wiiuse_linux

#endif
