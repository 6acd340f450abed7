// wiiuse over the Linux kernel's Wii Remote driver (hid-wiimote): remotes are
// found in sysfs (search.cpp), read through their evdev nodes (node.cpp), lit
// through their LED class devices and rumbled through force feedback. This
// file keeps the groups and their records, and polls them.
#include "internal.h"
#include "node.h"
#include "rawnode.h"
#include "search.h"
#include "sysfs.h"
#include "translate.h"
#include "udev.h"
#include "waiting.h"

#include <wiiuse.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>

namespace wiiuse_linux {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 100; // longest wait of one poll
// A connected remote's extension is looked at this often; reading it asks
// nothing of the remote. The battery is not: reading it makes the driver
// ask the remote and wait for the answer, so it is read only at connection
// and with a status event, never on a timer. A remote that went away is
// looked for in sysfs as often, and once bound again, more often while
// udev sets it up.
constexpr auto kStatusEvery = std::chrono::seconds(1);
constexpr auto kSettleEvery = std::chrono::milliseconds(100);
// An LED refused for want of rights just after the remote was taken is
// tried again this long: udev's rules may not have opened it yet.
constexpr auto kLedGrace = std::chrono::seconds(2);

// Where a slot's remote stands. Each state has one timer, `due`.
enum class Link {
	Absent,    // none found, or its node was refused: nothing to do
	Connected, // its nodes open; at `due`, its extension is looked at
	Lost,      // gone; at `due`, looked for in sysfs
	Settling,  // bound again, udev not done with it; at `due`, looked at again
};

struct Remote {
	wiimote_t rec{}; // the record the program sees
	Link link = Link::Absent;
	Clock::time_point due;
	Found where; // what the search found (id empty: nothing)
	Node core, ir;
	Pending pending;
	std::string extension;
	bool cameraBack = false; // its camera was on when it went
	Clock::time_point ledsUntil; // refused LEDs are tried again until then
	bool ledsOwed = false;
	RawNode raw;     // where it is asked whether it is still there
	Hearing hearing; // its answers there
	bool rumbling = false;

	bool found() const { return !where.id.empty(); }
};

struct Group {
	std::vector<wiimote_t *> slots; // each remote's record, as handed out
	std::vector<std::unique_ptr<Remote>> remotes;
};

struct Library {
	std::string sysRoot = "/sys";
	std::string devRoot = "/dev";
	std::vector<std::unique_ptr<Group>> groups;
	std::set<std::string> taken; // HID ids of remotes some group has found
	int nextId = 1;
	bool ledWarned = false;
	bool yielded = false; // the last poll gave its turn to another group
};

Library &lib()
{
	static Library library;
	return library;
}

Group *groupOf(wiimote_t **wm)
{
	for (auto &g : lib().groups)
		if (g->slots.data() == wm)
			return g.get();
	return nullptr;
}

Remote *remoteOf(wiimote_t *wm)
{
	for (auto &g : lib().groups)
		for (auto &r : g->remotes)
			if (&r->rec == wm)
				return r.get();
	return nullptr;
}

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

void readExtension(Remote &r)
{
	r.extension = extensionName(r.where);
	r.rec.exp.type = expansionType(r.extension);
	r.due = Clock::now() + kStatusEvery;
}

void readBattery(Remote &r)
{
	int battery = batteryPercent(r.where);
	if (battery >= 0)
		r.rec.battery_level = static_cast<float>(battery);
}

// Opens the remote's button node: it is connected from now on, with the
// keys the kernel says are down, its extension and its battery. Its raw
// node, where it has one, tells whether it is still there.
bool connectRemote(Remote &r)
{
	if (!openNode(r.where.core, r.core))
		return false;
	if (!r.where.hidraw.empty() && !r.raw.isOpen())
		openRaw(r.where.hidraw, r.raw);
	r.hearing = {Clock::now(), {}, 0};
	unsigned short down = 0;
	if (libevdev *dev = r.core.dev.get())
		for (unsigned code = 0; code < KEY_CNT; ++code)
			if (buttonMask(code) && libevdev_get_event_value(dev, EV_KEY, code))
				down |= buttonMask(code);
	seedButtons(r.pending, r.rec, down);
	r.link = Link::Connected;
	r.rec.state |= kStateConnected;
	r.ledsUntil = Clock::now() + kLedGrace;
	readExtension(r);
	readBattery(r);
	return true;
}

// The remote is lost: gone from the driver, or, still bound, silent.
// Silent, it is still asked through its raw node, and taken back when it
// answers.
void disconnect(Remote &r, bool bound)
{
	// Its identity is what brings it back.
	r.link = r.where.uniq.empty() ? Link::Absent : Link::Lost;
	if (!bound || r.link == Link::Absent)
		r.raw.close();
	r.cameraBack = r.rec.state & kStateIr;
	r.due = Clock::now() + kStatusEvery;
	r.core.close();
	r.ir.close();
	clearIr(r.pending, r.rec);
	seedButtons(r.pending, r.rec, 0);
	r.ledsOwed = false;
	r.rec.state &= ~(kStateConnected | kStateIr);
	r.rec.event = WIIUSE_UNEXPECTED_DISCONNECT;
}

// A remote that went away (its batteries swapped, out of range) is taken
// back into its slot when the same remote, by its Bluetooth address, binds
// again, once udev has finished with it: looked for in sysfs alone. It
// comes back as it was, lit and with its camera, and says so with a status
// event.
void comeBack(Remote &r)
{
	Library &l = lib();
	bool asked = false;
	for (const Found &f : discover(l.sysRoot, l.devRoot)) {
		bool same = f.id == r.where.id; // bound all along, and silent
		if (f.uniq != r.where.uniq || (l.taken.count(f.id) && !same))
			continue;
		if (same) {
			if (!r.raw.isOpen())
				continue;
			if (listen(r.raw, r.hearing, false) != Answer::Yes) {
				asked = true;
				continue;
			}
		} else if (!readyToTake(f, l.sysRoot)) {
			r.link = Link::Settling;
			r.due = Clock::now() + kSettleEvery;
			return;
		}
		if (!same)
			r.raw.close(); // the old binding's, silent
		Found before = r.where;
		r.where = f;
		if (!connectRemote(r)) {
			r.where = before;
			break;
		}
		l.taken.insert(f.id);
		wiiuse_set_leds(&r.rec, r.rec.leds);
		if (r.cameraBack)
			wiiuse_set_ir(&r.rec, 1);
		r.rec.event = WIIUSE_STATUS;
		return;
	}
	r.link = Link::Lost;
	r.due = Clock::now() + (asked ? std::chrono::duration_cast<Clock::duration>(kAskAfter) : kStatusEvery);
}

// Writes the remote's LEDs as its record has them. On failure, the errno
// and the file that failed.
int writeLeds(Remote &r, std::string &failed)
{
	std::vector<std::string> files = ledFiles(r.where);
	int error = 0;
	for (int i = 0; i < 4; ++i) {
		const std::string &file = files[static_cast<size_t>(i)];
		if (file.empty())
			continue;
		FILE *f = std::fopen(file.c_str(), "w");
		int e = f && std::fputs(r.rec.leds & (WIIMOTE_LED_1 << i) ? "1" : "0", f) >= 0 ? 0 : errno;
		if (f && std::fclose(f) != 0 && !e)
			e = errno;
		if (e && !error) {
			error = e;
			failed = file;
		}
	}
	return error;
}

// Lights the remote's LEDs. Just after it was taken, LEDs refused for want
// of rights are owed, and tried again with each look at the remote until
// the grace runs out: udev's programs may not have opened them yet. What
// still fails is said once, with its cause.
void lightLeds(Remote &r)
{
	std::string file;
	int error = writeLeds(r, file);
	r.ledsOwed = (error == EACCES || error == EPERM) && Clock::now() < r.ledsUntil;
	if (!error || r.ledsOwed || lib().ledWarned)
		return;
	lib().ledWarned = true;
	std::fprintf(stderr, "impossibile accendere i led: %s: %s\n", file.c_str(), refusal(file, error).c_str());
}

// What the driver has for one remote: at most one event in the record.
void process(Remote &r)
{
	if (r.link == Link::Absent)
		return;
	if (r.link != Link::Connected) {
		if (Clock::now() >= r.due)
			comeBack(r);
		return;
	}
	if (r.ledsOwed)
		lightLeds(r);
	if (r.raw.isOpen() && listen(r.raw, r.hearing, r.rumbling) == Answer::No) {
		disconnect(r, true);
		return;
	}
	Read got = drain(r, r.core, applyCoreEvent);
	if (got == Read::Empty && r.ir.isOpen())
		got = drain(r, r.ir, applyIrEvent);
	if (got == Read::Gone) {
		disconnect(r, false);
		return;
	}
	if (got == Read::Event) {
		r.rec.event = WIIUSE_EVENT;
		return;
	}
	if (Clock::now() >= r.due) {
		// A remote whose sysfs entries are gone has been removed, even
		// before its nodes say so.
		if (readLine(r.where.dir + "/devtype").empty()) {
			disconnect(r, false);
			return;
		}
		std::string before = r.extension;
		readExtension(r);
		if (r.extension != before) {
			readBattery(r);
			r.rec.event = WIIUSE_STATUS;
		}
	}
}

int processGroup(Group &g, int n)
{
	int events = 0;
	for (int i = 0; i < n; ++i) {
		process(*g.remotes[static_cast<size_t>(i)]);
		if (g.remotes[static_cast<size_t>(i)]->rec.event != WIIUSE_NONE)
			++events;
	}
	return events;
}

// Whether a remote of another group than `g` has work on its timer (a
// comeback to take, a status to look at), which only its own group's poll
// does.
bool othersDue(const Group &g)
{
	auto now = Clock::now();
	for (auto &other : lib().groups)
		if (other.get() != &g)
			for (auto &r : other->remotes)
				if ((r->link != Link::Absent && now >= r->due) ||
				    (r->link == Link::Connected && r->raw.isOpen() && now >= nextAsk(r->hearing)))
					return true;
	return false;
}

int slotsOf(const Group &g, int n)
{
	return n < 0 ? 0 : std::min(n, static_cast<int>(g.slots.size()));
}

} // namespace

void useRoots(const std::string &sysRoot, const std::string &devRoot)
{
	lib().sysRoot = sysRoot;
	lib().devRoot = devRoot;
}

void forgetAll()
{
	Library &l = lib();
	l.groups.clear();
	l.taken.clear();
	l.nextId = 1;
	l.ledWarned = l.yielded = false;
}

} // namespace wiiuse_linux

using namespace wiiuse_linux;

extern "C" {

struct wiimote_t **wiiuse_init(int wiimotes)
{
	if (wiimotes < 0)
		return nullptr;
	try {
		Library &l = lib();
		auto g = std::make_unique<Group>();
		for (int i = 0; i < wiimotes; ++i) {
			g->remotes.push_back(std::make_unique<Remote>());
			g->remotes.back()->rec.unid = l.nextId++;
			g->slots.push_back(&g->remotes.back()->rec);
		}
		l.groups.push_back(std::move(g));
		return l.groups.back()->slots.data();
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

int wiiuse_find(struct wiimote_t **wm, int max_wiimotes, int timeout_seconds)
{
	Group *g = groupOf(wm);
	if (!g)
		return 0;
	Library &l = lib();
	int want = slotsOf(*g, max_wiimotes);
	int have = 0;
	while (have < want && g->remotes[static_cast<size_t>(have)]->found())
		++have;
	auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
	for (const Found &f : searchRemotes(l.sysRoot, l.devRoot, l.taken, want - have, deadline))
		g->remotes[static_cast<size_t>(have++)]->where = f;
	return have;
}

int wiiuse_connect(struct wiimote_t **wm, int wiimotes)
{
	Group *g = groupOf(wm);
	if (!g)
		return 0;
	int connected = 0;
	for (int i = 0; i < slotsOf(*g, wiimotes); ++i) {
		Remote &r = *g->remotes[static_cast<size_t>(i)];
		if (r.found() && (r.link == Link::Connected || connectRemote(r)))
			++connected;
	}
	return connected;
}

void wiiuse_set_leds(struct wiimote_t *wm, int leds)
{
	Remote *r = remoteOf(wm);
	if (!r)
		return;
	wm->leds = static_cast<byte>(leds & 0xF0);
	if (r->found())
		lightLeds(*r);
}

void wiiuse_rumble(struct wiimote_t *wm, int status)
{
	if (Remote *r = remoteOf(wm)) {
		r->rumbling = status != 0;
		rumbleNode(r->core, r->rumbling);
	}
}

void wiiuse_set_ir(struct wiimote_t *wm, int status)
{
	Remote *r = remoteOf(wm);
	if (!r)
		return;
	if (!status) {
		r->ir.close();
		clearIr(r->pending, *wm);
		wm->state &= ~kStateIr;
		return;
	}
	if (!r->core.isOpen() || r->where.ir.empty())
		return;
	// The camera runs while its node is open.
	if (r->ir.isOpen())
		return;
	if (!openNode(r->where.ir, r->ir))
		return;
	wm->state |= kStateIr;
	// The kernel kept what the camera last reported, and passes on only
	// what changes from it: a still scene would send nothing.
	if (libevdev *dev = r->ir.dev.get()) {
		int axes[8];
		for (int i = 0; i < 8; ++i)
			axes[i] = libevdev_get_event_value(dev, EV_ABS, static_cast<unsigned>(ABS_HAT0X + i));
		seedIr(r->pending, *wm, axes);
	}
}

int wiiuse_poll(struct wiimote_t **wm, int wiimotes)
{
	Group *g = groupOf(wm);
	if (!g)
		return 0;
	int n = slotsOf(*g, wiimotes);
	for (int i = 0; i < n; ++i)
		wm[i]->event = WIIUSE_NONE;
	// Another group's timer first: while this group's input never stops
	// (a camera streams 100 frames a second), its poll would never reach
	// the point where it waits and lets the others have their turn. A poll
	// that was given a turn does not give it back.
	bool given = lib().yielded;
	lib().yielded = !given && othersDue(*g);
	if (lib().yielded)
		return 0;
	if (int events = processGroup(*g, n))
		return events;

	// Nothing for this group: wait for any remote of the process, so that
	// another group's input is never left waiting behind this one.
	std::vector<Watched> fds;
	for (auto &other : lib().groups)
		for (auto &r : other->remotes)
			for (Node *node : {&r->core, &r->ir}) {
				if (!node->isOpen())
					continue;
				if (node->backlog && other.get() != g)
					return 0;
				fds.push_back({node->fd, other.get() == g});
			}
	if (waitForInput(fds, kWaitMs) != Woken::Mine)
		return 0;
	return processGroup(*g, n);
}

} // extern "C"
