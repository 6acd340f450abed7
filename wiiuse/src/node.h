// One event node of a remote (its buttons, or its camera): opened, grabbed,
// read, and rumbled through force feedback.
#ifndef WIIUSE_NODE_H
#define WIIUSE_NODE_H

#include "handle.h"

#include <libevdev/libevdev.h>

#include <linux/input.h>
#include <memory>
#include <string>

namespace wiiuse_linux {

// An open event node. It is read through libevdev; a descriptor libevdev
// cannot take (a pipe standing in for a node) is read as plain input_event
// records.
struct Node {
	int fd = -1;
	Handle<libevdev, libevdev_free> dev;
	bool syncing = false; // catching up after the kernel dropped events
	bool backlog = false; // stopped at an event with more perhaps queued
	int rumbleEffect = -1; // the force-feedback effect uploaded to it

	Node() = default;
	Node(const Node &) = delete;
	Node &operator=(const Node &) = delete;
	~Node() { close(); }

	bool isOpen() const { return fd >= 0; }
	void close(); // its effect and grab go with it
};

enum class Read { Event, Empty, Gone };

// Why `path` (a node, an LED) was refused with `error`, and what to do
// about it: joining the file's group helps only a user who is not in it
// already; a file that is root's alone, or its group's without the rights,
// wants the project's udev rule; a missing or failing device is a remote
// that does not answer.
std::string refusal(const std::string &path, int error);

// Opens an event node for reading, and for writing where allowed (rumble),
// and grabs it. On failure it says why.
bool openNode(const std::string &path, Node &node);

// Takes `fd`, an event node opened elsewhere (non-blocking), as openNode
// would have.
void adoptNode(int fd, const std::string &path, Node &node);

// The next event of the node.
Read readEvent(Node &node, input_event &ev);

// Starts or stops the node's rumble, where it has one; true when the
// driver was told.
bool rumbleNode(Node &node, bool on);

} // namespace wiiuse_linux

#endif
