// One device brought in by the search, a call at a time: paired (unless it
// was before), its Device ID awaited, connected. What each answer leads to
// is decided here, from the trust policy's verdict and the clock; the
// session makes the calls.
#ifndef WIIUSE_BRINGIN_H
#define WIIUSE_BRINGIN_H

#include "clock.h"
#include "objects.h"
#include "trust.h"

#include <string>

namespace wiiuse_linux {

// A call to BlueZ (a pairing, a connection) begun before the deadline:
// bluetoothd carries it on whatever its caller does, so the search that
// began it sees it through this much longer, and the remote is its own.
constexpr auto kBluezCallGrace = std::chrono::seconds(10);
// A remote the search has connected, awaited for the driver to bind it.
constexpr auto kDriverBindGrace = std::chrono::seconds(5);
// A device heard by the limited inquiry that bluetoothd does not know is
// paged this long for bluetoothd to add it.
constexpr auto kReachFor = std::chrono::seconds(10);

// A device that would not be brought in is tried again after this long: its
// owner may press SYNC once told to.
constexpr auto kRetryAfter = std::chrono::seconds(3);
// A device just paired is given this long to have its Device ID read
// (asked for once, then taken from BlueZ's signals). One whose services could not be read is
// unpaired, never connected to have them read: a connection would connect
// every profile it offers. Paired again at a later turn, its services are
// read anew.
constexpr auto kServicesWait = std::chrono::seconds(3);
// A device whose services are read with no Device ID among them: its
// Device ID, if it has one, comes with its services or just after.
constexpr Ms kLateDeviceId{500};
// A device's turn lasts this long at most while one not tried yet in this
// search waits, and a retry's not at all: a device that stalls at every
// call (a look-alike, a remote out of range) cannot keep a remote pressed
// after it from its turn.
constexpr auto kTurnBudget = std::chrono::seconds(4);

struct BringIn {
	enum Stage {
		Pairing,    // Pair() under way
		AwaitingId, // paired: its Device ID awaited until `until`
		Connecting, // Connect() under way
	};
	bool wasPaired = false;  // before the search
	bool retry = false;      // it had a turn before in this search
	Stage stage = Pairing;
	uint64_t call = 0;       // the call whose answer is awaited (0: none)
	bool pairedHere = false; // this search paired it: unpaired if a stranger
	Time began;              // its turn
	Time until;
	Time noIdSince = kNever; // its services were read with no Device ID
	std::string error;       // the last answer's error, to be said
};

// What a pairing's answer (`error`, empty for success) leads to, for a
// device of `kind` as it was known before.
enum class Paired {
	Lost,      // bluetoothd, or the device's object, is gone: said as bluetoothd's
	Yes,       // paired by this search: its Device ID awaited
	Before,    // it was paired already: the same
	GivenUp,   // not answered in the search's time: cancelled in bluetoothd
	ConnectAnyway, // it would not pair, and its Device ID says it is a remote
	Refused,   // it would not pair: the SYNC hint
};
Paired afterPairing(const std::string &error, Kind kind);

// What a paired device's Device ID, as known at `t`, leads to; `noId`: it
// has none yet, and BlueZ has not finished reading its services.
enum class Decision {
	Wait,      // it may still come: asked for again
	Connect,   // a remote the driver takes (a look-alike: where udev hands it over)
	NeedsRule, // a look-alike this machine's udev would not hand over: left, the root step said
	Leave,     // not a remote, or not one it takes: left alone, unpaired if paired here
	PairAgain, // its services could not be read: unpaired, paired anew later
};
Decision decide(const BringIn &b, Kind kind, bool noId, Time t, bool bindsWithoutId);

// Whether a connection's answer says it is connected.
bool connectedBy(const std::string &error);

// Whether an answer's error is bluetoothd's own, not the device's: it is
// gone from the bus, or the device's object is.
bool bluetoothdsFault(const std::string &error);
bool objectGone(const std::string &error);

// Whether its pairing is still under way in bluetoothd: given up on, it is
// cancelled there.
bool pairingUnderWay(const BringIn &b);

// Whether the turn is to end now, for a device that has not had one yet.
bool cutShort(const BringIn &b, Time t);

} // namespace wiiuse_linux

#endif
