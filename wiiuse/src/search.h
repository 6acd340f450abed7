// The search for remotes: those the kernel's driver has bound already, and
// those BlueZ pairs and connects meanwhile. Whether a bound remote may be
// taken is judged here, for a search and for a remote's comeback alike.
#ifndef WIIUSE_SEARCH_H
#define WIIUSE_SEARCH_H

#include "clock.h"
#include "rawnode.h"
#include "sysfs.h"

#include <set>
#include <string>
#include <vector>

namespace wiiuse_linux {

// How long a search may outlast its deadline, for what it began before it:
// kBluezCallGrace and kDriverBindGrace (bluez.h). Whatever it awaits, a
// search ends this long after its deadline at the latest: what is still
// under way in bluetoothd then is cancelled.
constexpr auto kSearchOvertime = std::chrono::seconds(16);
// Between two looks in sysfs: where udev says when a remote's devices
// change, a look at each word of its and a second at most between two;
// elsewhere, every tenth of a second.
constexpr Ms kWatchedStep{1000};
constexpr Ms kSearchStep{100};

// A remote the driver has bound, and what its raw node has told of it.
struct Bound {
	Found where;
	RawNode raw;
	Hearing hearing;
	bool judged = false; // its raw node has been opened (or could not be)
	std::set<std::string> settled; // its devices udev has been found done with
};

enum class Verdict {
	Take,     // udev is done with it and it answers (or cannot be asked)
	Settling, // udev is not done with it yet
	Asking,   // it has been asked, and may still answer
	Skip,     // it does not answer: passed over as if absent
};

// Whether a bound remote may be taken now. `last`: the search is ending,
// and takes a remote udev is done with even if its node is refused (its
// connection says why). A remote is asked through its raw node when first
// judged, and found silent by the same rule as a connected one.
Verdict judge(Bound &b, bool last, const std::string &sysRoot, Time now);

// Looks for up to `want` remotes not in `taken` until `deadline`, and
// for a remote this search began to pair or connect, or is asking whether
// it is there, a while longer. Those found are added to `taken` and
// returned, the first connected first.
std::vector<Bound> searchRemotes(const std::string &sysRoot, const std::string &devRoot,
                                 std::set<std::string> &taken, int want, Time deadline);

} // namespace wiiuse_linux

#endif
