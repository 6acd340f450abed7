// wiiuse over the Linux kernel's Wii Remote driver (hid-wiimote): remotes are
// found in sysfs (search.cpp), read through their evdev nodes (node.cpp), lit
// through their LED class devices (leds.cpp) and rumbled through force
// feedback; each lives its life in remote.cpp. This file is the API: the
// groups, and the poll that decides whose turn it is and how long to wait.
#include "hub.h"
#include "notices.h"
#include "report.h"
#include "internal.h"

#include <wiiuse.h>

#include <algorithm>
#include <new>

namespace wiiuse_linux {

namespace {

// When there is nothing at all to wait for, a poll still returns this often.
constexpr auto kLongestWait = std::chrono::seconds(1);

Group *groupOf(wiimote_t **wm)
{
	for (auto &g : hub().groups)
		if (g->slots.data() == wm)
			return g.get();
	return nullptr;
}

Remote *remoteOf(wiimote_t *wm)
{
	for (auto &g : hub().groups)
		for (auto &r : g->remotes)
			if (&r->rec == wm)
				return r.get();
	return nullptr;
}

int processGroup(Group &g, int n, Time now)
{
	int events = 0;
	for (int i = 0; i < n; ++i) {
		Remote &r = *g.remotes[static_cast<size_t>(i)];
		process(r, now);
		if (r.rec.event != WIIUSE_NONE)
			++events;
	}
	return events;
}

// Whether a remote of another group than `g` has work of its own due,
// which only its own group's poll does.
bool othersDue(const Group &g, Time now)
{
	for (auto &other : hub().groups)
		if (other.get() != &g)
			for (auto &r : other->remotes)
				if (now >= nextWork(*r))
					return true;
	return false;
}

int slotsOf(const Group &g, int n)
{
	return n < 0 ? 0 : std::min(n, static_cast<int>(g.slots.size()));
}

} // namespace

Hub &hub()
{
	static Hub h;
	return h;
}

void useRoots(const std::string &sysRoot, const std::string &devRoot)
{
	hub().sysRoot = sysRoot;
	hub().devRoot = devRoot;
}

void forgetAll()
{
	Hub &h = hub();
	h.groups.clear();
	h.taken.clear();
	h.nextId = 1;
	forgetNotices();
}

} // namespace wiiuse_linux

using namespace wiiuse_linux;

extern "C" {

struct wiimote_t **wiiuse_init(int wiimotes)
{
	if (wiimotes < 0)
		return nullptr;
	try {
		Hub &h = hub();
		auto g = std::make_unique<Group>();
		for (int i = 0; i < wiimotes; ++i) {
			g->remotes.push_back(std::make_unique<Remote>());
			g->remotes.back()->rec.unid = h.nextId++;
			g->slots.push_back(&g->remotes.back()->rec);
		}
		h.groups.push_back(std::move(g));
		return h.groups.back()->slots.data();
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

int wiiuse_find(struct wiimote_t **wm, int max_wiimotes, int timeout_seconds)
{
	Group *g = groupOf(wm);
	if (!g)
		return 0;
	Hub &h = hub();
	int want = slotsOf(*g, max_wiimotes);
	int have = 0;
	while (have < want && g->remotes[static_cast<size_t>(have)]->found())
		++have;
	Time deadline = now() + std::chrono::seconds(timeout_seconds);
	long said = noticesSaid();
	for (Bound &b : searchRemotes(h.sysRoot, h.devRoot, h.taken, want - have, deadline))
		g->remotes[static_cast<size_t>(have++)]->bound = std::move(b);
	// A search that found nothing and said nothing of why: what to check.
	if (have == 0 && want > 0 && timeout_seconds > 0 && noticesSaid() == said)
		nothingFound();
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
		if (r.found() && (r.link == Link::Connected || connectRemote(r, now())))
			++connected;
		else if (!r.found() && r.link == Link::Absent) {
			// A remote switched on after the search joins later, as one
			// that comes back does.
			r.vacant = true;
			r.link = Link::Lost;
			r.lookedAt = now();
		}
	}
	return connected;
}

void wiiuse_set_leds(struct wiimote_t *wm, int leds)
{
	Remote *r = remoteOf(wm);
	if (!r)
		return;
	wm->leds = static_cast<byte>(leds & 0xF0);
	r->leds.mask = wm->leds;
	if (r->found())
		lightLeds(r->bound.where, r->leds, now());
}

void wiiuse_rumble(struct wiimote_t *wm, int status)
{
	if (Remote *r = remoteOf(wm))
		rumble(*r, status != 0);
}

void wiiuse_set_ir(struct wiimote_t *wm, int status)
{
	if (Remote *r = remoteOf(wm))
		setIr(*r, status != 0);
}

int wiiuse_poll(struct wiimote_t **wm, int wiimotes)
{
	Group *g = groupOf(wm);
	if (!g)
		return 0;
	int n = slotsOf(*g, wiimotes);
	for (int i = 0; i < n; ++i)
		wm[i]->event = WIIUSE_NONE;
	// Another group's work first when it is due: while this group's input
	// never stops (a camera streams 100 frames a second), its poll would
	// never reach the point where it waits and lets the others have their
	// turn. A group gives its turn once at a time, so its own input waits
	// one poll at the most.
	Time t = now();
	if (!g->yielded && othersDue(*g, t)) {
		g->yielded = true;
		return 0;
	}
	g->yielded = false;
	if (int events = processGroup(*g, n, t))
		return events;

	// Nothing for this group: wait for any remote of the process, or the
	// first remote's work to fall due, so that another group's input is
	// never left waiting behind this one, and a quiet process sleeps.
	Hub &h = hub();
	std::vector<pollfd> fds;
	Time until = t + kLongestWait;
	for (auto &other : h.groups) {
		std::vector<int> ours;
		bool backlog = false;
		for (auto &r : other->remotes) {
			watched(*r, ours, backlog);
			until = std::min(until, nextWork(*r));
		}
		if (backlog && other.get() != g)
			return 0;
		for (int fd : ours)
			fds.push_back({fd, POLLIN, 0});
	}
	int woken = waitUntil(fds.data(), fds.size(), until);
	if (woken < 0)
		return 0; // interrupted: the caller polls again
	// Woken for another group, this finds nothing, and its poll comes next.
	return processGroup(*g, n, now());
}

} // extern "C"
