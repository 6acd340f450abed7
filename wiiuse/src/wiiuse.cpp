// wiiuse over the Linux kernel's Wii Remote driver (hid-wiimote): remotes are
// found in sysfs (search.cpp), read through their evdev nodes (node.cpp), lit
// through their LED class devices and rumbled through force feedback. This
// file keeps the groups and their records, and polls them.
#include "internal.h"
#include "node.h"
#include "search.h"
#include "sysfs.h"
#include "translate.h"
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
// The extension is looked at this often; reading it asks nothing of the
// remote. The battery is not: reading it makes the driver ask the remote
// and wait for the answer, so it is read only at connection and with a
// status event, never on a timer.
constexpr auto kStatusEvery = std::chrono::seconds(1);

struct Remote {
	wiimote_t rec{}; // the record the program sees
	bool found = false;
	Found where;
	Node core, ir;
	Pending pending;
	std::string extension;
	Clock::time_point nextStatus;
	bool lost = false;       // gone, and awaited back
	bool cameraBack = false; // its camera was on when it went
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
	r.nextStatus = Clock::now() + kStatusEvery;
}

void readBattery(Remote &r)
{
	int battery = batteryPercent(r.where);
	if (battery >= 0)
		r.rec.battery_level = static_cast<float>(battery);
}

void disconnect(Remote &r)
{
	r.lost = !r.where.uniq.empty();
	r.cameraBack = r.rec.state & kStateIr;
	r.nextStatus = Clock::now() + kStatusEvery;
	r.core.close();
	r.ir.close();
	clearIr(r.pending, r.rec);
	r.rec.state &= ~(kStateConnected | kStateIr);
	r.rec.event = WIIUSE_UNEXPECTED_DISCONNECT;
}

// A remote that went away (its batteries swapped, out of range) is taken
// back into its slot when the same remote, by its Bluetooth address, binds
// again: looked for as often as a remote's status, in sysfs alone. It comes
// back as it was, lit and with its camera, and says so with a status event.
void comeBack(Remote &r)
{
	if (!r.lost || Clock::now() < r.nextStatus)
		return;
	r.nextStatus = Clock::now() + kStatusEvery;
	Library &l = lib();
	for (const Found &f : discover(l.sysRoot, l.devRoot)) {
		if (f.uniq != r.where.uniq || l.taken.count(f.id) || !readyToTake(f, l.sysRoot))
			continue;
		if (!openNode(f.core, r.core))
			return;
		l.taken.insert(f.id);
		r.where = f;
		r.lost = false;
		r.rec.state |= kStateConnected;
		wiiuse_set_leds(&r.rec, r.rec.leds);
		if (r.cameraBack)
			wiiuse_set_ir(&r.rec, 1);
		readExtension(r);
		readBattery(r);
		r.rec.event = WIIUSE_STATUS;
		return;
	}
}

// What the driver has for one remote: at most one event in the record.
void process(Remote &r)
{
	if (!r.core.isOpen()) {
		comeBack(r);
		return;
	}
	Read got = drain(r, r.core, applyCoreEvent);
	if (got == Read::Empty && r.ir.isOpen())
		got = drain(r, r.ir, applyIrEvent);
	if (got == Read::Gone) {
		disconnect(r);
		return;
	}
	if (got == Read::Event) {
		r.rec.event = WIIUSE_EVENT;
		return;
	}
	if (Clock::now() >= r.nextStatus) {
		// A remote whose sysfs entries are gone has been removed, even
		// before its nodes say so.
		if (readLine(r.where.dir + "/devtype").empty()) {
			disconnect(r);
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
	l.ledWarned = false;
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
	while (have < want && g->remotes[static_cast<size_t>(have)]->found)
		++have;
	auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
	for (const Found &f : searchRemotes(l.sysRoot, l.devRoot, l.taken, want - have, deadline)) {
		Remote &r = *g->remotes[static_cast<size_t>(have++)];
		r.where = f;
		r.found = true;
	}
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
		if (!r.found)
			continue;
		if (!r.core.isOpen()) {
			if (!openNode(r.where.core, r.core))
				continue;
			r.rec.state |= kStateConnected;
			readExtension(r);
			readBattery(r);
		}
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
	if (!r->found)
		return;
	std::vector<std::string> files = ledFiles(r->where);
	for (int i = 0; i < 4; ++i) {
		const std::string &file = files[static_cast<size_t>(i)];
		if (file.empty())
			continue;
		FILE *f = std::fopen(file.c_str(), "w");
		bool ok = f && std::fputs(wm->leds & (WIIMOTE_LED_1 << i) ? "1" : "0", f) >= 0;
		int error = errno;
		if (f && std::fclose(f) != 0 && ok) {
			ok = false;
			error = errno;
		}
		if (!ok && !lib().ledWarned) {
			lib().ledWarned = true;
			std::fprintf(stderr,
			             "impossibile accendere i led: %s: %s (serve la regola udev del "
			             "progetto: vedi il README, \"Permissions\")\n",
			             file.c_str(), std::strerror(error));
		}
	}
}

void wiiuse_rumble(struct wiimote_t *wm, int status)
{
	if (Remote *r = remoteOf(wm))
		rumbleNode(r->core, status != 0);
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
