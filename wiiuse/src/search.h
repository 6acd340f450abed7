// The search for remotes: those the kernel's driver has bound already, and
// those BlueZ pairs and connects meanwhile.
#ifndef WIIUSE_SEARCH_H
#define WIIUSE_SEARCH_H

#include "sysfs.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace wiiuse_linux {

// How long a search may outlast its deadline, for what it began before it.
// A call to BlueZ (a pairing, a connection): bluetoothd carries it on
// whatever its caller does, so the search that began it sees it through,
// and the remote is its own.
constexpr auto kBluezCallGrace = std::chrono::seconds(10);
// A remote BlueZ has connected, awaited for the driver to bind it.
constexpr auto kDriverBindGrace = std::chrono::seconds(5);

// Looks for up to `want` remotes not in `taken` until `deadline`, and
// for a remote this search began to pair or connect, a while longer (see
// the .cpp). Those found are added to `taken` and returned, the first
// connected first.
std::vector<Found> searchRemotes(const std::string &sysRoot, const std::string &devRoot,
                                 std::set<std::string> &taken, int want,
                                 std::chrono::steady_clock::time_point deadline);

} // namespace wiiuse_linux

#endif
