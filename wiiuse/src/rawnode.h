// A remote's raw HID node (hidraw): every report the remote sends comes
// there too, apart from the driver's input devices, and a status request
// written there makes the remote answer at once. The driver never asks a
// remote to report continuously, so a remote lying still says nothing:
// asked, it proves it is still there.
#ifndef WIIUSE_RAWNODE_H
#define WIIUSE_RAWNODE_H

#include <chrono>
#include <string>

namespace wiiuse_linux {

// A remote that has said nothing for kAskAfter is asked for its status,
// asked again kAskAgain later if it has not answered, and counts as gone
// when kAnswerWithin has passed since with no answer: 1.2 s of silence at
// the least, and the first request had 0.8 s to be answered. A remote
// whose batteries are pulled, that runs flat or leaves the room is
// otherwise "connected" until its link's supervision timeout, 20 s on.
constexpr auto kAskAfter = std::chrono::milliseconds(400);
constexpr auto kAskAgain = std::chrono::milliseconds(400);
constexpr auto kAnswerWithin = std::chrono::milliseconds(400);

struct RawNode {
	int fd = -1;

	RawNode() = default;
	RawNode(const RawNode &) = delete;
	RawNode &operator=(const RawNode &) = delete;
	~RawNode() { close(); }

	bool isOpen() const { return fd >= 0; }
	void close();
};

// Opens the node for reading and writing, without waiting. On failure it
// says why on standard error, once in the process.
bool openRaw(const std::string &path, RawNode &node);

// Reads every report the node holds; true when there was any.
bool heard(RawNode &node);

// What is known of a remote's answers on its raw node.
struct Hearing {
	std::chrono::steady_clock::time_point heardAt; // when it last said anything
	std::chrono::steady_clock::time_point askedAt; // when it was last asked, unanswered
	int asks = 0; // requests unanswered since it was heard; 3: found silent
};

enum class Answer {
	Yes,     // it has said something lately
	Waiting, // it has been asked, and still has time to answer
	No,      // asked twice, it has not answered: silent
};

// When the remote is next to be asked, or found silent.
std::chrono::steady_clock::time_point nextAsk(const Hearing &h);

// Whether the remote is still there, as far as can be told now. It is
// asked when it has been quiet for kAskAfter, and again while it is
// silent, so that it is heard as soon as it speaks again. Only requests
// sent and left unanswered count against it, never a pause of the
// caller's. `rumbling`: see askStatus.
Answer listen(RawNode &node, Hearing &h, bool rumbling);

// Asks the remote for its status (output report 0x15). The report's first
// byte also carries the rumble motor's state, which it keeps as it is.
void askStatus(RawNode &node, bool rumbling);

} // namespace wiiuse_linux

#endif
