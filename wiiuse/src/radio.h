// The one owner of the radio for a search, from its first inquiry to its
// last: the search's own limited inquiry (inquiry.h), again and again,
// which originals in SYNC mode answer as well as the remotes sold today;
// bluetoothd's general discovery only where the limited inquiry cannot run
// (no raw socket) or is refused (another client inquires). A machine on
// the search's clock that does nothing itself: each step says the one call
// the executor is to make next, and the executor tells it what came of its
// calls.
#ifndef WIIUSE_RADIO_H
#define WIIUSE_RADIO_H

#include "clock.h"
#include "inquiry.h"

namespace wiiuse_linux {

// An inquiry hears only what scans on its first train of frequencies for
// its first 2.56 s, and a new one starts on that train again: one of
// 1.28 s, begun anew as soon as it ends, hears as much, and a remote that
// begins to answer meanwhile sooner.
constexpr int kLimitedLength = 1; // times 1.28 s
constexpr Ms kLimitedGrace{500};  // for its end to come
constexpr Ms kCancelGrace{500};   // for a cancelled inquiry's end to come
// No inquiry begins this close to the deadline.
constexpr Ms kLastTurnBefore{1000};

enum class Radio {
	Idle,       // an inquiry begins as soon as it may
	Limited,    // the limited inquiry runs, until `due` at most
	Cancelling, // it was cancelled: its end awaited until `due`
	Starting,   // bluetoothd's discovery asked for: StartDiscovery's answer awaited
	General,    // bluetoothd discovers, for the rest of the search
	Off,        // bluetoothd would not discover either
};

struct RadioState {
	Radio radio = Radio::Idle;
	Time due = kNever;
	bool asked = false;       // the limited inquiry's socket was asked for
	bool noInquiry = false;   // it cannot run, or was refused: bluetoothd's discovery instead
	bool discovering = false; // bluetoothd's discovery is the search's
};

enum class RadioCall {
	None,
	OpenInquiry,    // the socket: opened, or noInquiry set
	Inquire,        // the limited inquiry: sent, or noInquiry set
	CancelInquiry,
	StartDiscovery, // its answer awaited
};

// What came of the executor's calls since the last step.
struct RadioNews {
	bool answered = false; // StartDiscovery's answer
	bool ok = false;       // it left the adapter discovering
	InquiryEvent inquiry = InquiryEvent::None; // the limited inquiry's own (ofOurs)
};

// One step at `t`. `holding`: a device is being paged or brought in, and
// no inquiry begins meanwhile; `socketOpen`: the inquiry's socket is open.
// Called again with no news until it says None.
RadioCall stepRadio(RadioState &r, const RadioNews &news, Time t, Time deadline, bool holding, bool socketOpen);

} // namespace wiiuse_linux

#endif
