// Remotes that are not connected yet, found and connected through BlueZ
// during a search, so that the kernel's driver binds them and the search
// takes them from sysfs. The executor of the search's machines (the start,
// the radio, each device's turn): it only carries their calls out on the
// ports it is handed and brings them what the ports say.
#ifndef WIIUSE_BLUEZ_H
#define WIIUSE_BLUEZ_H

#include "clock.h"
#include "ports.h"

#include <memory>
#include <set>
#include <string>

namespace wiiuse_linux {

struct BluezSearch;

struct BluezSearchEnd {
	void operator()(BluezSearch *search) const;
};

// A search through BlueZ on `bus`, with the controller reached through
// `hci`, on the first powered adapter. What BlueZ answers comes at the
// search's later steps: when it cannot help (no bluetoothd, no adapter,
// adapter off, discovery refused), that is said on standard error, once in
// the process. `bindsWithoutId`: this machine's udev binds a remote that
// has no Device ID to the driver, so such a remote may be connected. At its
// start, a device the library trusted that no longer presents itself as a
// remote (drivers read under `sysRoot`) loses its trust and its pairing.
std::unique_ptr<BluezSearch, BluezSearchEnd> startBluezSearch(BusPort bus, HciPort hci, const std::string &sysRoot,
                                                              Time deadline, bool bindsWithoutId);

// Waits until `until` at most for what BlueZ and the controller say, and
// pairs and connects the Wii Remotes in range, one at a time, while `room`
// is left, beginning none at or after `deadline`. The wait ends early when
// any of `wakes` (udev's word, a remote's answer) becomes readable.
void stepBluezSearch(BluezSearch &search, Time until, Time deadline, int room, const std::vector<pollfd> &wakes = {});

// How many remotes the search has connected that the driver has not bound
// yet (`bound`: the addresses of those it has) and that are still awaited,
// kDriverBindGrace at most from their connection: each takes up room.
int awaitingBind(BluezSearch &search, const std::set<std::string> &bound, Time t);

// When the first of those is no longer awaited.
Time nextBindDue(const BluezSearch &search);

// Whether the search owes the search that began it a remote: one being
// brought in (seen through until kBluezCallGrace past the deadline at
// most), or connected and not taken yet, within its kDriverBindGrace.
bool owesRemotes(const BluezSearch &search, Time t);

// A remote the driver bound has been taken: one the search connected is
// trusted once it has `answered` as a remote, and recorded as trusted.
void tookRemote(BluezSearch &search, const std::string &uniq, bool answered);

// Bluetooth cannot help this search now (said already).
bool bluetoothFailed(const BluezSearch &search);

} // namespace wiiuse_linux

#endif
