// A wiiuse that plays a scenario instead of talking to remotes.
//
// The scenario is the text of HITCHECK_SCENARIO, one directive a line:
//   find G N             the next wiiuse_find on group G returns N
//   connect G N          the next wiiuse_connect on group G returns N; N > 0
//                        also sets the remote's connected bit
//   poll G R field=v...  the next wiiuse_poll on group G returns R, after
//                        resetting `event` and applying the fields
//   init-fails K         the K-th wiiuse_init returns null
//   quiet                no call notes
//   hang                 once the player's polls are used up, block instead
//                        of disconnecting the player's remote
//   poll-wait MS         each wiiuse_poll first waits MS milliseconds, as
//                        one waiting for the remotes
// Groups are numbered 1, 2, ... as wiiuse_init makes them; each group's
// remote gets its group number as id. When the polls of group 1 are used up,
// its remote is disconnected, so the program ends.
//
// Fields: event state btns held released leds exp unid dots (ir.num_dots)
// irx iry irz battery, dotI=X,Y (source I visible at X,Y), hideI.
//
// Every call is noted on standard output as "\x1e<call>\n", after a flush,
// so notes and the program's own output interleave as they happened.
#include <wiiuse.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kConnected = 0x08;
constexpr int kIr = 0x80;
constexpr long kMaxPolls = 200000;

struct Group {
	std::vector<wiimote_t *> slots;
	std::vector<std::unique_ptr<wiimote_t>> records;
	std::deque<int> finds, connects;
	std::deque<std::string> polls;
};

struct Scenario {
	bool loaded = false;
	bool quiet = false;
	bool hang = false;
	int init_fails = 0;
	int poll_wait = 0;
	int inits = 0;
	long polls = 0;
	std::vector<std::unique_ptr<Group>> groups;
	std::vector<std::string> lines;
};

Scenario &scenario()
{
	static Scenario s;
	if (!s.loaded) {
		s.loaded = true;
		const char *text = std::getenv("HITCHECK_SCENARIO");
		std::istringstream in(text ? text : "");
		for (std::string line; std::getline(in, line);) {
			std::istringstream words(line);
			std::string verb;
			words >> verb;
			if (verb == "quiet")
				s.quiet = true;
			else if (verb == "hang")
				s.hang = true;
			else if (verb == "init-fails")
				words >> s.init_fails;
			else if (verb == "poll-wait")
				words >> s.poll_wait;
			else if (!verb.empty() && verb[0] != '#')
				s.lines.push_back(line);
		}
	}
	return s;
}

void note(const std::string &call)
{
	if (scenario().quiet)
		return;
	std::fflush(stdout);
	std::string line = "\x1e" + call + "\n";
	if (write(STDOUT_FILENO, line.data(), line.size()) < 0)
		std::_Exit(4);
}

[[noreturn]] void fail(const std::string &why)
{
	note("error: " + why);
	std::fprintf(stderr, "scripted wiiuse: %s\n", why.c_str());
	std::_Exit(3);
}

// Group number of a group, or of the group holding a record.
int groupOf(wiimote_t **wm)
{
	auto &gs = scenario().groups;
	for (size_t i = 0; i < gs.size(); ++i)
		if (gs[i]->slots.data() == wm)
			return static_cast<int>(i) + 1;
	fail("unknown group");
}

int groupOf(wiimote_t *rec)
{
	auto &gs = scenario().groups;
	for (size_t i = 0; i < gs.size(); ++i)
		for (auto &r : gs[i]->records)
			if (r.get() == rec)
				return static_cast<int>(i) + 1;
	fail("unknown record");
}

Group &group(int g)
{
	return *scenario().groups.at(static_cast<size_t>(g - 1));
}

// Hands the scenario's directives for group g out to its queues.
void loadDirectives(int g)
{
	Group &grp = group(g);
	for (const std::string &line : scenario().lines) {
		std::istringstream words(line);
		std::string verb;
		int which = 0;
		words >> verb >> which;
		if (which != g)
			continue;
		if (verb == "find" || verb == "connect") {
			int n = 0;
			words >> n;
			(verb == "find" ? grp.finds : grp.connects).push_back(n);
		} else if (verb == "poll") {
			std::string rest;
			std::getline(words, rest);
			grp.polls.push_back(rest);
		} else {
			fail("bad directive: " + line);
		}
	}
}

long number(const std::string &v)
{
	return std::strtol(v.c_str(), nullptr, 0);
}

void apply(wiimote_t *wm, const std::string &field, const std::string &v)
{
	if (field == "event")
		wm->event = static_cast<WIIUSE_EVENT_TYPE>(number(v));
	else if (field == "state")
		wm->state = static_cast<int>(number(v));
	else if (field == "btns")
		wm->btns = static_cast<unsigned short>(number(v));
	else if (field == "held")
		wm->btns_held = static_cast<unsigned short>(number(v));
	else if (field == "released")
		wm->btns_released = static_cast<unsigned short>(number(v));
	else if (field == "leds")
		wm->leds = static_cast<byte>(number(v));
	else if (field == "exp")
		wm->exp.type = static_cast<int>(number(v));
	else if (field == "unid")
		wm->unid = static_cast<int>(number(v));
	else if (field == "dots")
		wm->ir.num_dots = static_cast<byte>(number(v));
	else if (field == "irx")
		wm->ir.x = static_cast<int>(number(v));
	else if (field == "iry")
		wm->ir.y = static_cast<int>(number(v));
	else if (field == "irz")
		wm->ir.z = std::strtof(v.c_str(), nullptr);
	else if (field == "battery")
		wm->battery_level = std::strtof(v.c_str(), nullptr);
	else if (field.size() == 4 && field.compare(0, 3, "dot") == 0 && field[3] >= '0' &&
	         field[3] <= '3') {
		ir_dot_t &d = wm->ir.dot[field[3] - '0'];
		size_t comma = v.find(',');
		d.visible = 1;
		d.x = static_cast<unsigned>(number(v.substr(0, comma)));
		d.y = static_cast<unsigned>(number(v.substr(comma + 1)));
	} else if (field.size() == 5 && field.compare(0, 4, "hide") == 0 && field[4] >= '0' &&
	           field[4] <= '3')
		wm->ir.dot[field[4] - '0'].visible = 0;
	else
		fail("bad field: " + field);
}

template <typename T>
int next(std::deque<T> &queue)
{
	if (queue.empty())
		return 0;
	int n = queue.front();
	queue.pop_front();
	return n;
}

std::string tag(int g)
{
	return "g" + std::to_string(g);
}

} // namespace

extern "C" {

struct wiimote_t **wiiuse_init(int wiimotes)
{
	Scenario &s = scenario();
	int k = ++s.inits;
	if (k == s.init_fails) {
		note("init(" + std::to_string(wiimotes) + ")=null");
		return nullptr;
	}
	auto grp = std::make_unique<Group>();
	for (int i = 0; i < wiimotes; ++i) {
		grp->records.push_back(std::make_unique<wiimote_t>());
		grp->records.back()->unid = static_cast<int>(s.groups.size()) + 1;
		grp->slots.push_back(grp->records.back().get());
	}
	s.groups.push_back(std::move(grp));
	int g = static_cast<int>(s.groups.size());
	loadDirectives(g);
	note("init(" + std::to_string(wiimotes) + ")=" + tag(g));
	return s.groups.back()->slots.data();
}

int wiiuse_find(struct wiimote_t **wm, int max_wiimotes, int timeout_seconds)
{
	int g = groupOf(wm);
	int n = next(group(g).finds);
	note("find(" + tag(g) + "," + std::to_string(max_wiimotes) + "," +
	     std::to_string(timeout_seconds) + ")=" + std::to_string(n));
	return n;
}

int wiiuse_connect(struct wiimote_t **wm, int wiimotes)
{
	int g = groupOf(wm);
	int n = next(group(g).connects);
	for (int i = 0; i < n && i < wiimotes; ++i)
		wm[i]->state |= kConnected;
	note("connect(" + tag(g) + "," + std::to_string(wiimotes) + ")=" + std::to_string(n));
	return n;
}

int wiiuse_poll(struct wiimote_t **wm, int wiimotes)
{
	Scenario &s = scenario();
	if (++s.polls > kMaxPolls)
		fail("too many polls");
	if (s.poll_wait)
		usleep(static_cast<useconds_t>(s.poll_wait) * 1000);
	int g = groupOf(wm);
	Group &grp = group(g);
	for (int i = 0; i < wiimotes; ++i)
		wm[i]->event = WIIUSE_NONE;
	int result = 0;
	if (!grp.polls.empty()) {
		std::istringstream words(grp.polls.front());
		grp.polls.pop_front();
		words >> result;
		for (std::string kv; words >> kv;) {
			size_t eq = kv.find('=');
			apply(wm[0], kv.substr(0, eq), eq == std::string::npos ? "" : kv.substr(eq + 1));
		}
	} else if (g == 1) {
		if (s.hang) {
			for (;;)
				pause();
		}
		wm[0]->state &= ~kConnected;
	}
	note("poll(" + tag(g) + "," + std::to_string(wiimotes) + ")=" + std::to_string(result));
	return result;
}

void wiiuse_set_leds(struct wiimote_t *wm, int leds)
{
	wm->leds = static_cast<byte>(leds);
	note("set_leds(" + tag(groupOf(wm)) + "," + std::to_string(leds) + ")");
}

void wiiuse_rumble(struct wiimote_t *wm, int status)
{
	note("rumble(" + tag(groupOf(wm)) + "," + std::to_string(status) + ")");
}

void wiiuse_set_ir(struct wiimote_t *wm, int status)
{
	if (status)
		wm->state |= kIr;
	else
		wm->state &= ~kIr;
	note("set_ir(" + tag(groupOf(wm)) + "," + std::to_string(status) + ")");
}

} // extern "C"
