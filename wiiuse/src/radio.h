// Whose the radio is, turn by turn: bluetoothd's general discovery, or the
// search's own limited inquiry (inquiry.h). A machine on the search's clock
// that does nothing itself: each step says the one call the session is to
// make next, and the session tells it what came of its calls.
#ifndef WIIUSE_RADIO_H
#define WIIUSE_RADIO_H

#include "clock.h"
#include "inquiry.h"

namespace wiiuse_linux {

// bluetoothd's discovery first, long enough for an original remote whose
// SYNC was pressed as the search began, then the limited inquiry, then each
// in turn.
constexpr Ms kFirstGeneralTurn{3840};
constexpr Ms kGeneralTurn{2560};
constexpr int kLimitedLength = 2; // times 1.28 s
constexpr Ms kLimitedGrace{500};  // for its end to come
// No turn begins this close to the deadline.
constexpr Ms kLastTurnBefore{1000};

enum class Radio {
	General,  // bluetoothd discovers, until `until`
	Stopping, // StopDiscovery() under way
	Limited,  // the limited inquiry runs, until `until` at most
	Ending,   // the limited inquiry is over: bluetoothd's turn is next
	Starting, // StartDiscovery() under way again
	Off,      // no limited inquiry in this search: bluetoothd's alone
};

struct RadioTurns {
	Radio radio = Radio::General;
	Time until = kNever;
	bool discovering = false; // bluetoothd's discovery is the search's now
};

// What the session is to do next for the radio.
enum class RadioCall {
	None,
	OpenInquiry,    // the limited inquiry's socket is needed: opened, or the radio is Off
	StopDiscovery,  // its answer awaited
	Inquire,        // the limited inquiry sent (one not sent is Over at once)
	CancelInquiry,
	StartDiscovery, // its answer awaited
};

// What came of the session's calls since the last step.
struct RadioNews {
	bool answered = false; // StopDiscovery's or StartDiscovery's answer
	bool ok = false;       // a success, or discovery already in progress
	InquiryEvent inquiry = InquiryEvent::None; // the limited inquiry's own (ofOurs)
};

// Discovery has been started: bluetoothd's first turn.
void discoveryStarted(RadioTurns &r, Time t);

// One step at `t`. `pairing`: a pairing under way keeps the radio as it is;
// `inquiryOpen`: the limited inquiry's socket is open. Called again with no
// news until it says None.
RadioCall turnRadio(RadioTurns &r, const RadioNews &news, Time t, Time deadline, bool pairing, bool inquiryOpen);

// When the turn under way ends, if nothing else ends it first.
Time turnEnds(const RadioTurns &r);

} // namespace wiiuse_linux

#endif
