// A remote's raw HID node (hidraw): every report the remote sends comes
// there too, apart from the driver's input devices, and a status request
// written there makes the remote answer. The driver never asks a remote to
// report continuously, so a remote lying still says nothing: asked, it
// proves it is still there.
#ifndef WIIUSE_RAWNODE_H
#define WIIUSE_RAWNODE_H

#include "clock.h"

#include <string>

namespace wiiuse_linux {

// A remote that has said nothing for kQuiet is asked for its status, asked
// again every kAskAgain while it has not answered, and counts as silent
// when kGiveUp has passed since the first request with no answer to any:
// within kQuiet + kGiveUp, 2.9 s, of its last word. A Bluetooth link
// retransmits until a packet is acknowledged, so a busy radio (Wi-Fi, a
// second remote, another program's discovery) delays answers without
// losing them: one that comes up to 2 s late keeps the remote. Otherwise a
// remote whose batteries are pulled, that runs flat or leaves the room is
// "connected" until its link's supervision timeout, 20 s on.
constexpr Ms kQuiet{800};
constexpr Ms kAskAgain{800};
constexpr Ms kGiveUp{2100};

struct RawNode {
	int fd = -1;

	RawNode() = default;
	RawNode(const RawNode &) = delete;
	RawNode &operator=(const RawNode &) = delete;
	RawNode(RawNode &&other) noexcept : fd(other.fd) { other.fd = -1; }
	RawNode &operator=(RawNode &&other) noexcept;
	~RawNode() { close(); }

	bool isOpen() const { return fd >= 0; }
	void close();
};

// Opens the node for reading and writing, without waiting. On failure it
// says why, once in the process.
bool openRaw(const std::string &path, RawNode &node);

// What is known of a remote's answers on its raw node. It is read only when
// asked, not as reports come: something read proves the remote was there
// after the read before, `drainedAt`, no sooner.
struct Hearing {
	Time heardAt;   // it was surely there then
	Time drainedAt; // the node was last read then
	Time firstAsk;  // the first request still unanswered
	Time askedAt;   // the last request
	int asks = 0;   // requests since it was last heard
	int battery = -1; // the battery byte of its last status report read (0 to 255), -1: none yet
};

enum class Answer {
	Yes,     // it has said something lately
	Waiting, // it has been asked, and still has time to answer
	No,      // it has not answered in time: silent
};

// A hearing for a remote just heard from: first asked after kQuiet. What
// an earlier hearing of the same remote knew of its battery is kept.
Hearing freshHearing(Time now, const Hearing &before = Hearing{});

// A hearing for a remote that has to prove it is there: asked now, and
// unheard until it answers.
Hearing askFirst(RawNode &node, Time now);

// Something came from the remote at `now` through its other devices.
void heardFrom(Hearing &h, Time now);

// Whether the remote is there, as far as can be told at `now`: the node is
// read, and the remote asked when it has been quiet for kQuiet, and again
// every kAskAgain while it does not answer, silent or not, so that it is
// heard as soon as it speaks again. Only requests sent and left unanswered
// count against it, never a pause of the caller's. `rumbling`: see
// askStatus.
Answer listen(RawNode &node, Hearing &h, bool rumbling, Time now);

// When listen has next something to do.
Time nextListen(const Hearing &h);

// Asks the remote for its status (output report 0x15). The report's first
// byte also carries the rumble motor's state, which it keeps as it is.
void askStatus(RawNode &node, bool rumbling);

} // namespace wiiuse_linux

#endif
