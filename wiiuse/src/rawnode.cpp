#include "rawnode.h"

#include "node.h"
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

// Reads every report the node holds; true when there was any. A status
// report (0x20: buttons, flags, two bytes, battery) gives the battery.
bool heard(RawNode &node, Hearing &h)
{
	bool any = false;
	uint8_t report[64];
	for (;;) {
		ssize_t n = read(node.fd, report, sizeof report);
		if (n > 0) {
			any = true;
			if (report[0] == 0x20 && n >= 7)
				h.battery = report[6];
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		return any;
	}
}

} // namespace

RawNode &RawNode::operator=(RawNode &&other) noexcept
{
	if (this != &other) {
		close();
		fd = other.fd;
		other.fd = -1;
	}
	return *this;
}

void RawNode::close()
{
	if (fd >= 0)
		::close(fd);
	fd = -1;
}

bool openRaw(const std::string &path, RawNode &node)
{
	static bool warned = false;
	node.close();
	node.fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (node.fd < 0 && !warned) {
		warned = true;
		notice("impossibile aprire " + path + ": " + refusal(path, errno) +
		       "; un wiimote che tace sarà notato solo quando il collegamento cade, fino a 20 s dopo");
	}
	return node.fd >= 0;
}

Hearing freshHearing(Time now, const Hearing &before)
{
	Hearing h;
	h.battery = before.battery;
	h.heardAt = h.drainedAt = now;
	return h;
}

Hearing askFirst(RawNode &node, Time now)
{
	Hearing h;
	h.heardAt = now - kQuiet;
	h.drainedAt = h.firstAsk = h.askedAt = now;
	h.asks = 1;
	askStatus(node, false);
	return h;
}

void heardFrom(Hearing &h, Time now)
{
	h.heardAt = std::max(h.heardAt, now);
	h.asks = 0;
}

Answer listen(RawNode &node, Hearing &h, bool rumbling, Time now)
{
	bool fresh = heard(node, h);
	if (fresh) {
		h.heardAt = std::max(h.heardAt, h.drainedAt);
		h.asks = 0;
	}
	h.drainedAt = now;
	bool ask = h.asks == 0 ? now >= h.heardAt + kQuiet : now >= h.askedAt + kAskAgain;
	Answer answer = fresh || h.asks == 0 ? Answer::Yes
	                : now >= h.firstAsk + kGiveUp ? Answer::No
	                                              : Answer::Waiting;
	if (ask) {
		askStatus(node, rumbling);
		if (h.asks == 0)
			h.firstAsk = now;
		h.askedAt = now;
		++h.asks;
	}
	return answer;
}

Time nextListen(const Hearing &h)
{
	if (h.asks == 0)
		return h.heardAt + kQuiet;
	Time t = h.askedAt + kAskAgain;
	if (h.drainedAt < h.firstAsk + kGiveUp)
		t = std::min(t, h.firstAsk + kGiveUp);
	return t;
}

void askStatus(RawNode &node, bool rumbling)
{
	const uint8_t request[2] = {0x15, static_cast<uint8_t>(rumbling ? 0x01 : 0x00)};
	if (write(node.fd, request, sizeof request) < 0) {
		// Unanswered all the same: the remote counts as silent.
	}
}

} // namespace wiiuse_linux
