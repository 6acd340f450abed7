// A remote's life: taken, read, asked whether it is there, lost, and taken
// back when the same remote answers again.
#include "hub.h"

#include "notices.h"
#include "report.h"
#include "udev.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

// Reads one node until it completes a generic event or runs dry.
Read drain(Remote &r, Node &node, bool (*apply)(Pending &, wiimote_t &, const input_event &))
{
	input_event ev;
	for (;;) {
		Read got = readEvent(node, ev);
		if (got != Read::Event) {
			node.backlog = false;
			return got;
		}
		if (apply(r.pending, r.rec, ev)) {
			node.backlog = true;
			return Read::Event;
		}
	}
}

void readExtension(Remote &r, Time now)
{
	r.extension = extensionName(r.bound.where);
	r.rec.exp.type = expansionType(r.extension);
	r.lookedAt = now;
}

// The battery as the remote's last status report on its raw node gave it,
// in the driver's own scale: nothing is asked of the remote here.
void readBattery(Remote &r)
{
	if (r.bound.hearing.battery >= 0)
		r.rec.battery_level = static_cast<float>(batteryFromCapacity(r.bound.hearing.battery * 100 / 255));
}

void cameraFailed(Remote &r, int error, Time now)
{
	const std::string &path = r.bound.where.ir;
	bool again = r.cameraTries < kCameraTries;
	notice("telecamera del wiimote " + r.bound.where.uniq + " non accesa (" + path + ": " + refusal(path, error) +
	       "), tentativo " + std::to_string(r.cameraTries) + " di " + std::to_string(kCameraTries) +
	       (again ? ": si riprova tra 0,2 s" : ": resta spenta"));
	if (again) {
		r.cameraRetryAt = now + kCameraRetry;
		return;
	}
	setIr(r, false);
}

// Sets the camera up: its node is opened away from the loop.
void askCamera(Remote &r, Time now)
{
	r.cameraRetryAt = kNever;
	++r.cameraTries;
	if (!startOpen(r.bound.where.ir, r.camera))
		cameraFailed(r, errno, now);
}

// The set-up's end, when it has come: the camera's sources are read from
// now on, or the failure is said. True when the camera sees sources
// already: an event of its own.
bool cameraAnswered(Remote &r, Time now)
{
	int fd = -1, error = 0;
	if (!finishOpen(r.camera, fd, error))
		return false;
	// Switched off while it was being set up: what came is not wanted.
	if (!(r.rec.state & kStateIr)) {
		if (fd >= 0)
			close(fd);
		return false;
	}
	if (fd < 0) {
		cameraFailed(r, error, now);
		return false;
	}
	r.cameraTries = 0;
	adoptNode(fd, r.bound.where.ir, r.ir);
	// The kernel kept what the camera last reported, and passes on only
	// what changes from it: a still scene would send nothing.
	if (libevdev *dev = r.ir.dev.get()) {
		int axes[8];
		for (int i = 0; i < 8; ++i)
			axes[i] = libevdev_get_event_value(dev, EV_ABS, static_cast<unsigned>(ABS_HAT0X + i));
		seedIr(r.pending, r.rec, axes);
	}
	return r.rec.ir.num_dots > 0;
}

// The remote is lost: gone from the driver, or, still bound, silent. Its
// identity (its Bluetooth address) is what brings it back; a silent one is
// still asked through its raw node, and taken back when it answers.
void lose(Remote &r, bool silent, Time now)
{
	if (r.link == Link::Connected && !r.bound.where.uniq.empty())
		remoteLost(r.bound.where.uniq, silent && r.bound.raw.isOpen());
	r.link = r.bound.where.uniq.empty() ? Link::Absent
	         : silent && r.bound.raw.isOpen() ? Link::Silent
	                                          : Link::Lost;
	if (r.link != Link::Silent)
		r.bound.raw.close();
	r.coming = Bound{};
	r.cameraBack = r.rec.state & kStateIr;
	r.lookedAt = now;
	r.core.close();
	// Its node is gone: a set-up under way is not waited for.
	r.camera.abandon();
	setIr(r, false);
	seedButtons(r.pending, r.rec, 0);
	r.leds.owed = false;
	r.rec.state &= ~(kStateConnected | kStateIr);
	r.rec.event = WIIUSE_UNEXPECTED_DISCONNECT;
}

// Back, as it was: lit, with its camera, said with a status event.
void takeBack(Remote &r, Time now)
{
	if (!connectRemote(r, now)) {
		lose(r, false, now);
		r.rec.event = WIIUSE_NONE;
		return;
	}
	hub().taken.insert(r.bound.where.id);
	r.vacant = false;
	r.silent.clear();
	lightLeds(r.bound.where, r.leds, now);
	if (r.cameraBack)
		setIr(r, true);
	r.rec.event = WIIUSE_STATUS;
}

// Whether a remote of this identity belongs to a slot already.
bool claimed(const std::string &uniq)
{
	for (auto &g : hub().groups)
		for (auto &r : g->remotes)
			if (!uniq.empty() && r->bound.where.uniq == uniq)
				return true;
	return false;
}

// A lost remote: the same remote bound anew, once udev has finished with
// it and it answers, is taken back into its slot. A slot its search left
// empty takes the first remote bound after it that no slot has had.
void comeBack(Remote &r, Time now)
{
	Hub &h = hub();
	r.lookedAt = now;
	if (r.coming.where.id.empty() || !stillBound(r.coming.where)) {
		r.coming = Bound{};
		std::set<std::string> stillSilent;
		for (Found &f : discover(h.sysRoot, h.devRoot, &h.taken)) {
			if (r.silent.count(f.id)) {
				stillSilent.insert(f.id);
				continue;
			}
			if ((r.vacant ? !claimed(f.uniq) : f.uniq == r.bound.where.uniq) && !h.taken.count(f.id) &&
			    r.coming.where.id.empty())
				r.coming.where = f;
		}
		r.silent = std::move(stillSilent);
		if (r.coming.where.id.empty()) {
			r.link = Link::Lost;
			return;
		}
	}
	switch (judge(r.coming, false, h.sysRoot, now)) {
	case Verdict::Take:
		r.bound = std::move(r.coming);
		r.coming = Bound{};
		takeBack(r, now);
		return;
	case Verdict::Skip: // bound, and silent already: looked at as if lost
		// A vacant slot takes the remote that answers: the next one bound
		// is looked at, not this one again.
		if (r.vacant) {
			r.silent.insert(r.coming.where.id);
			r.coming = Bound{};
		}
		r.link = Link::Lost;
		return;
	default:
		r.link = Link::Settling;
	}
}

// The work of a connected remote's timer: its LEDs while owed, whether it
// is still bound and still answers, and its extension.
void tend(Remote &r, Time now)
{
	if (r.leds.owed && now >= r.leds.triedAt + kLedRetry)
		lightLeds(r.bound.where, r.leds, now);
	// A remote whose sysfs entries are gone has been removed, even before
	// its nodes say so.
	if (!stillBound(r.bound.where)) {
		lose(r, false, now);
		return;
	}
	if (r.bound.raw.isOpen() && listen(r.bound.raw, r.bound.hearing, r.rumbling, now) == Answer::No) {
		lose(r, true, now);
		return;
	}
	std::string before = r.extension;
	readExtension(r, now);
	if (r.extension != before) {
		readBattery(r);
		r.rec.event = WIIUSE_STATUS;
	}
}

} // namespace

Time nextWork(const Remote &r)
{
	switch (r.link) {
	case Link::Absent:
		return kNever;
	case Link::Connected: {
		Time t = std::min(r.lookedAt + kLookEvery, r.cameraRetryAt);
		if (r.bound.raw.isOpen())
			t = std::min(t, nextListen(r.bound.hearing));
		if (r.leds.owed)
			t = std::min(t, r.leds.triedAt + kLedRetry);
		return t;
	}
	case Link::Silent:
		return std::min(nextListen(r.bound.hearing), r.lookedAt + kLookEvery);
	case Link::Lost:
		return r.lookedAt + kLookEvery;
	case Link::Settling:
		return r.lookedAt + kSettleEvery;
	}
	return kNever;
}

bool connectRemote(Remote &r, Time now)
{
	if (!openNode(r.bound.where.core, r.core))
		return false;
	if (!r.bound.judged && !r.bound.where.hidraw.empty())
		openRaw(r.bound.where.hidraw, r.bound.raw);
	r.bound.judged = true;
	r.bound.hearing = freshHearing(now, r.bound.hearing);
	unsigned short down = 0;
	if (libevdev *dev = r.core.dev.get())
		for (unsigned code = 0; code < KEY_CNT; ++code)
			if (buttonMask(code) && libevdev_get_event_value(dev, EV_KEY, code))
				down |= buttonMask(code);
	seedButtons(r.pending, r.rec, down);
	r.link = Link::Connected;
	r.rec.state |= kStateConnected;
	r.leds.graceUntil = now + kLedGrace;
	r.rumbling = false;
	readExtension(r, now);
	readBattery(r);
	return true;
}

void process(Remote &r, Time now)
{
	switch (r.link) {
	case Link::Absent:
		return;
	case Link::Silent:
		// Its binding was udev's and ours already: only its answer counts,
		// read as it comes; whether it is still bound, once a second.
		if (listen(r.bound.raw, r.bound.hearing, false, now) == Answer::Yes) {
			takeBack(r, now);
		} else if (now >= r.lookedAt + kLookEvery) {
			r.lookedAt = now;
			if (!stillBound(r.bound.where)) {
				lose(r, false, now); // unbound at last: looked for as any lost remote
				r.rec.event = WIIUSE_NONE;
			}
		}
		return;
	case Link::Settling: // looked at when due, and when its answer comes
		comeBack(r, now);
		return;
	case Link::Lost:
		if (now >= nextWork(r))
			comeBack(r, now);
		return;
	case Link::Connected:
		break;
	}
	if (r.camera.pending() && cameraAnswered(r, now)) {
		r.rec.event = WIIUSE_EVENT;
		return;
	}
	if (now >= r.cameraRetryAt)
		askCamera(r, now);
	if (now >= nextWork(r)) {
		tend(r, now);
		if (r.rec.event != WIIUSE_NONE)
			return;
	}
	Read got = drain(r, r.core, applyCoreEvent);
	if (got == Read::Empty && r.ir.isOpen())
		got = drain(r, r.ir, applyIrEvent);
	if (got == Read::Gone) {
		lose(r, false, now);
	} else if (got == Read::Event) {
		heardFrom(r.bound.hearing, now);
		r.rec.event = WIIUSE_EVENT;
	}
}

void watched(const Remote &r, std::vector<int> &fds, bool &backlog)
{
	if (r.link == Link::Silent) {
		fds.push_back(r.bound.raw.fd);
		return;
	}
	if (r.link == Link::Settling && r.coming.raw.isOpen()) {
		fds.push_back(r.coming.raw.fd); // asked whether it is there
		return;
	}
	for (const Node *node : {&r.core, &r.ir})
		if (node->isOpen()) {
			fds.push_back(node->fd);
			backlog = backlog || node->backlog;
		}
	if (r.camera.pending())
		fds.push_back(openerFd(r.camera));
}

void setIr(Remote &r, bool on)
{
	wiimote_t &wm = r.rec;
	if (!on) {
		// A set-up under way is left to end, and its node closed then: a
		// worker waits on the remote until it does, and switching on again
		// meanwhile waits for the same one, rather than adding another.
		r.cameraTries = 0;
		r.cameraRetryAt = kNever;
		r.ir.close();
		clearIr(r.pending, wm);
		wm.state &= ~kStateIr;
		return;
	}
	// The camera runs while its node is open; asked for already, it is
	// on, being set up, or to be tried again.
	if (!r.core.isOpen() || r.bound.where.ir.empty() || (wm.state & kStateIr))
		return;
	wm.state |= kStateIr;
	r.cameraTries = 0;
	if (r.camera.pending())
		r.cameraTries = 1;
	else
		askCamera(r, now());
}

void rumble(Remote &r, bool on)
{
	// The status requests carry the motor's state: only what the driver
	// was told counts.
	if (rumbleNode(r.core, on))
		r.rumbling = on;
}

} // namespace wiiuse_linux
