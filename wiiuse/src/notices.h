// What the search tells the operator about Bluetooth, each on standard
// error and most once in the process: the texts, and what has been said.
#ifndef WIIUSE_NOTICES_H
#define WIIUSE_NOTICES_H

#include <set>
#include <string>

namespace wiiuse_linux {

// Bluetooth cannot help the search: why.
void cannotHelp(const std::string &why);
// A remote (its name, or its address) would neither pair nor connect.
void hintSync(const std::string &who, const std::string &error);
// A look-alike with no Device ID that this machine's udev would not hand to the driver.
void needsRule(const std::string &name, const std::string &address);
// The search's limited inquiry cannot run on `adapter`, or was refused there.
void limitedUnavailable(const std::string &adapter, const std::string &why);
void limitedRefused(const std::string &adapter);
// A device made as a remote under a name the driver does not take (once each).
void misnamed(const std::string &name, const std::string &address);
// A device the library trusted no longer presents itself as a remote (once each).
void forfeited(const std::string &name, const std::string &address);
// bluetoothd left the bus during a search, or its answers say it is gone.
void bluetoothdGone(const std::string &why);

// A search found no remote and said nothing of why, with Bluetooth at hand:
// what to check first (once in the process).
void nothingFound();
// A connected remote went (its driver let it go), or fell silent (once for
// each remote).
void remoteLost(const std::string &address, bool silent);

// Everything may be said again: for a test that begins anew.
void forgetNotices();

} // namespace wiiuse_linux

#endif
