// wiiuse over the Linux kernel's Wii Remote driver (hid-wiimote): remotes are
// found in sysfs, read through their evdev nodes, lit through their LED
// class devices and rumbled through force feedback.
#include "bluez.h"
#include "internal.h"
#include "sysfs.h"
#include "translate.h"
#include "waiting.h"

#include <wiiuse.h>

#include <libevdev/libevdev.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <set>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 100;                              // longest wait of one poll
constexpr auto kSearchStep = std::chrono::milliseconds(100); // between two looks for remotes
// The extension is looked at this often; reading it asks nothing of the
// remote. The battery is not: reading it makes the driver ask the remote
// and wait for the answer, so it is read only at connection and with a
// status event, never on a timer.
constexpr auto kStatusEvery = std::chrono::seconds(1);

const char kPermissionHint[] = "l'utente deve far parte del gruppo input: vedi il README, \"Permissions\"";

struct EvdevFree {
	void operator()(libevdev *dev) const { libevdev_free(dev); }
};

// An open event node. It is read through libevdev; a descriptor libevdev
// cannot take (a pipe standing in for a node) is read as plain input_event
// records.
struct Node {
	int fd = -1;
	std::unique_ptr<libevdev, EvdevFree> dev;
	bool syncing = false; // catching up after the kernel dropped events
	bool backlog = false; // stopped at an event with more perhaps queued

	Node() = default;
	Node(const Node &) = delete;
	Node &operator=(const Node &) = delete;
	~Node() { close(); }

	bool isOpen() const { return fd >= 0; }
	void close()
	{
		dev.reset();
		if (fd >= 0)
			::close(fd);
		fd = -1;
		syncing = backlog = false;
	}
};

enum class Read { Event, Empty, Gone };

struct Remote {
	wiimote_t rec{}; // the record the program sees
	bool found = false;
	Found where;
	Node core, ir;
	Pending pending;
	std::string extension;
	Clock::time_point nextStatus;
	int rumbleEffect = -1;
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

// Opens an event node for reading, and for writing where allowed (rumble).
bool openNode(const std::string &path, Node &node)
{
	int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0 && (errno == EACCES || errno == EPERM))
		fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		int error = errno;
		std::fprintf(stderr, "impossibile aprire %s: %s (%s)\n", path.c_str(), std::strerror(error),
		             error == EACCES || error == EPERM ? kPermissionHint : "il wiimote non risponde");
		return false;
	}
	node.fd = fd;
	libevdev *dev = nullptr;
	if (libevdev_new_from_fd(fd, &dev) == 0) {
		node.dev.reset(dev);
		// Its keys are the game's alone: without this a desktop session
		// takes the D-pad for arrow keys and PLUS and MINUS for media keys.
		// The grab ends when the node is closed.
		int rc = libevdev_grab(dev, LIBEVDEV_GRAB);
		if (rc < 0)
			std::fprintf(stderr, "impossibile avere in esclusiva %s: %s\n", path.c_str(),
			             std::strerror(-rc));
	}
	return true;
}

Read readEvent(Node &node, input_event &ev)
{
	if (!node.dev) {
		for (;;) {
			ssize_t n = read(node.fd, &ev, sizeof ev);
			if (n == static_cast<ssize_t>(sizeof ev))
				return Read::Event;
			if (n < 0 && errno == EINTR)
				continue;
			if (n < 0 && errno == EAGAIN)
				return Read::Empty;
			return Read::Gone;
		}
	}
	for (;;) {
		unsigned flags = node.syncing ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL;
		int rc = libevdev_next_event(node.dev.get(), flags, &ev);
		if (rc == LIBEVDEV_READ_STATUS_SUCCESS)
			return Read::Event;
		if (rc == LIBEVDEV_READ_STATUS_SYNC) {
			// The first one is SYN_DROPPED; the state catch-up follows.
			node.syncing = true;
			return Read::Event;
		}
		if (rc == -EAGAIN && node.syncing) {
			node.syncing = false;
			continue;
		}
		if (rc == -EAGAIN || rc == -EINTR)
			return Read::Empty;
		return Read::Gone;
	}
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
	r.core.close();
	r.ir.close();
	clearIr(r.pending, r.rec);
	r.rec.state &= ~(kStateConnected | kStateIr);
	r.rec.event = WIIUSE_UNEXPECTED_DISCONNECT;
}

// What the driver has for one remote: at most one event in the record.
void process(Remote &r)
{
	if (!r.core.isOpen())
		return;
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
	// Remotes not connected yet are brought in through BlueZ; those it
	// connects show up in sysfs like the others. Discovery ends with the
	// search.
	std::unique_ptr<BluezSearch, BluezSearchEnd> bluetooth;
	bool asked = false;
	int haveBefore = 0, broughtIn = 0;
	for (;;) {
		for (const Found &f : discover(l.sysRoot, l.devRoot)) {
			if (have >= want)
				break;
			if (!l.taken.insert(f.id).second)
				continue;
			Remote &r = *g->remotes[static_cast<size_t>(have++)];
			r.where = f;
			r.found = true;
		}
		auto now = Clock::now();
		if (have >= want || now >= deadline)
			return have;
		if (!asked) {
			asked = true;
			haveBefore = have;
			bluetooth = startBluezSearch(deadline);
		}
		auto step = std::chrono::duration_cast<std::chrono::milliseconds>(
			std::min<Clock::duration>(kSearchStep, deadline - now));
		if (bluetooth)
			broughtIn = stepBluezSearch(*bluetooth, step, deadline,
			                            want - std::max(have, haveBefore + broughtIn));
		else
			std::this_thread::sleep_for(step);
	}
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
	Remote *r = remoteOf(wm);
	if (!r || !r->core.isOpen() || !r->core.dev ||
	    !libevdev_has_event_code(r->core.dev.get(), EV_FF, FF_RUMBLE))
		return;
	if (r->rumbleEffect < 0) {
		ff_effect effect{};
		effect.type = FF_RUMBLE;
		effect.id = -1;
		effect.u.rumble.strong_magnitude = 0xffff;
		effect.u.rumble.weak_magnitude = 0xffff;
		if (ioctl(r->core.fd, EVIOCSFF, &effect) < 0)
			return;
		r->rumbleEffect = effect.id;
	}
	input_event play{};
	play.type = EV_FF;
	play.code = static_cast<unsigned short>(r->rumbleEffect);
	play.value = status ? 1 : 0;
	if (write(r->core.fd, &play, sizeof play) < 0) {
		// Nothing to report: the remote's loss shows in the next poll.
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
