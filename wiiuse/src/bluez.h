// Remotes that are not connected yet, found and connected through BlueZ
// (org.bluez on the system bus) during a search, so that the kernel's
// driver binds them and the search takes them from sysfs.
#ifndef WIIUSE_BLUEZ_H
#define WIIUSE_BLUEZ_H

#include "clock.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace wiiuse_linux {

// A call to BlueZ (a pairing, a connection) begun before the deadline:
// bluetoothd carries it on whatever its caller does, so the search that
// began it sees it through this much longer, and the remote is its own.
constexpr auto kBluezCallGrace = std::chrono::seconds(10);
// A remote BlueZ has connected, awaited for the driver to bind it.
constexpr auto kDriverBindGrace = std::chrono::seconds(5);

struct BluezSearch;

struct BluezSearchEnd {
	void operator()(BluezSearch *search) const;
};

// A search through BlueZ on the first powered adapter; null when there is
// no system bus. What BlueZ answers comes at the search's later turns: when
// it cannot help (no bluetoothd, no adapter, adapter off, discovery refused
// or not started within the search), that is said on standard error, once
// in the process. `bindsWithoutId`: this machine's udev binds a remote that
// has no Device ID to the driver, so such a remote may be connected. At its
// start, a device the search trusted that no longer presents itself as a
// remote (drivers read under `sysRoot`) loses its trust and its pairing.
std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(const std::string &sysRoot, Time deadline,
                                                              bool bindsWithoutId);

// Waits until `until` at most for what BlueZ says, and pairs and connects
// the Wii Remotes in range, one at a time, the one tried longest ago
// first, while `room` is left, beginning none at or after `deadline`; a
// turn that has had its budget gives way to a device not tried yet. No
// call waits for its answer: a pairing goes on across turns. bluetoothd's
// general discovery and the search's own limited inquiry take the radio in
// turns. The wait ends early when `wake` (-1: none) becomes readable.
void stepBluezSearch(BluezSearch &search, Time until, Time deadline, int room, int wake = -1);

// How many remotes the search has connected that the driver has not bound
// yet (`bound`: the addresses of those it has) and that are still awaited,
// kDriverBindGrace at most from their connection: each takes up room.
int awaitingBind(BluezSearch &search, const std::set<std::string> &bound, Time t);

// When the first of those is no longer awaited.
Time nextBindDue(const BluezSearch &search);

// Whether the search owes the search that began it a remote: one being
// paired or connected (seen through until kBluezCallGrace past the
// deadline at most), or connected and not taken yet, within its
// kDriverBindGrace.
bool owesRemotes(const BluezSearch &search, Time t);

// A remote the driver bound has been taken: a look-alike (no Device ID) the
// search connected is trusted once it has `answered` as a remote.
void tookRemote(BluezSearch &search, const std::string &uniq, bool answered);

// Bluetooth cannot help this search (said already).
bool bluetoothFailed(const BluezSearch &search);

} // namespace wiiuse_linux

#endif
