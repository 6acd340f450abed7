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

// Looks for up to `want` remotes not in `taken` until `deadline`, and
// for a remote this search began to pair or connect, a while longer (see
// the .cpp). Those found are added to `taken` and returned, the first
// connected first.
std::vector<Found> searchRemotes(const std::string &sysRoot, const std::string &devRoot,
                                 std::set<std::string> &taken, int want,
                                 std::chrono::steady_clock::time_point deadline);

// Whether a remote the driver has bound may be taken: udev has finished
// with it (where udev runs) and its button node may be read.
bool readyToTake(const Found &f, const std::string &sysRoot);

} // namespace wiiuse_linux

#endif
