// A node opened away from the loop. The kernel sets a remote's camera up
// inside open(2) of its infrared node, asking the remote seven times and
// waiting up to a second for each acknowledgement; meanwhile nothing else
// of the process would run. A worker thread of its own opens the node and
// does nothing else: it shares only the path and the result, blocks every
// signal, and closes what it opened if nobody wants it any more.
#ifndef WIIUSE_OPENER_H
#define WIIUSE_OPENER_H

#include <memory>
#include <string>

namespace wiiuse_linux {

struct OpenShared;

struct Opener {
	std::shared_ptr<OpenShared> shared; // none: nothing under way

	Opener() = default;
	Opener(const Opener &) = delete;
	Opener &operator=(const Opener &) = delete;
	Opener(Opener &&) = default;
	Opener &operator=(Opener &&other) noexcept;
	~Opener() { abandon(); }

	bool pending() const { return shared != nullptr; }
	// What is under way is no longer wanted: its node, when it comes, is
	// closed by the worker.
	void abandon();
};

// Opens `path` for reading (an event node: read through O_NONBLOCK once
// open) in a worker. False, with errno set, when no worker could be had.
bool startOpen(const std::string &path, Opener &opener);

// Readable once the open has ended.
int openerFd(const Opener &opener);

// Once the open has ended: true, with the descriptor in `fd`, or -1 and
// errno's number in `error`; the opener is empty again. False while it
// is under way.
bool finishOpen(Opener &opener, int &fd, int &error);

} // namespace wiiuse_linux

#endif
