// Plays a script of steps with virtual Wii Remotes against a real hitcheck,
// inside a machine whose kernel has the hid-wiimote driver, and checks what
// hitcheck prints and what the driver asked of the remotes.
//
// Usage: vmcheck HITCHECK SCRIPT [--show]
//   --show: echo hitcheck's output as it comes (the demonstration).
//
// Steps, one a line ('#' starts a comment):
//   remote NAME UNIQ          a remote appears and is probed by the driver
//                             (also the time `delay` counts from)
//   start [PROGRAM]           hitcheck starts (or PROGRAM, from then on)
//   interrupt MS              Ctrl-C: it ends by SIGINT within MS, having
//                             said nothing more
//   expect TEXT               hitcheck prints TEXT next (\n is a line break)
//   wait MS
//   press NAME KEY... / release NAME KEY...   (A B UP DOWN LEFT RIGHT MINUS PLUS ONE TWO HOME)
//   camera NAME X,Y...        a camera frame with these sources (none: empty)
//   leds NAME MASK            the driver lit exactly these LEDs
//   rumbled NAME              the remote rumbled once, about 200 ms
//   infrared NAME on|off      the driver switched the camera so (on: and asked
//                             for the reports that carry it)
//   remove NAME               the remote goes away
//   running MS                hitcheck still runs MS later
//   exits STATUS MS [TEXT]    hitcheck ends with STATUS within MS, having said
//                             TEXT on standard error since the last `said`
//                             (a '*' stands for any text), or nothing
//   startup-time              figure: start to the last rumble's end
//   idle-cpu SECONDS          figure: hitcheck's CPU share while all is quiet
//   cpu-mark                  the CPU figures count from here on
//   cpu LABEL                 figure: hitcheck's CPU time since it started,
//                             or since the last cpu-mark
//   cpu-lap LABEL             figure: its CPU time since the last cpu-lap
//                             or cpu-mark (`cpu` still counts from the mark)
//   cpu-ratio LABEL           figure: the last cpu figure over the one before
//   latency PLAYER ROBOT S    figure: report-to-line delay over S seconds of
//                             presses of A, 10 a second on each remote
//   delay LABEL               figure: from the last press to the last expect
//   air-remote NAME HCI       a remote over Bluetooth on controller hciHCI,
//                             never paired, not yet discoverable
//   restart-bluez             bluetoothd stops and starts again
//   bluez HCI [MS]            bluetoothd starts; every controller but hci0 is
//                             a remote's, hciHCI answering a PIN request MS late
//   user UID GID GROUP...     hitcheck runs as this user, in these groups
//   udev NAME GROUP           udev gave the remote's button node to GROUP
//                             and tagged it for the seat's user
//   ready NAME HCI [clone]    the remote's batteries in: its controller set up
//                             as a remote's, answering no inquiry yet
//   sync NAME HCI [clone]     the remote's SYNC button, readied first unless
//                             it was (the press is the time `delay` counts
//                             from); a clone answers only the limited
//                             inquiry, and has no Device ID
//   limited HCI               the host heard the clone on hciHCI first in a
//                             limited inquiry
//   no-id-window              figure: how long hid-generic held a remote with
//                             no Device ID (its input devices open to any
//                             reader) before udev's rule gave it to hid-wiimote
//   off HCI                   the remote's controller hciHCI is switched off
//   link HCI OTHER            hciHCI holds a link to hciOTHER (so that its link
//                             to the host is the host's second)
//   unlinked HCI              hciHCI's link to the host (hci0) has gone
//   connect NAME HCI          a button of a remote paired before: it connects
//                             to the host's controller hciHCI (likewise)
//   watch NAME                a second reader opens the remote's button node
//   unseen NAME / seen NAME   that reader got no event / gets events
//   rule FILE [TEXT]          udev's rules file FILE in /etc/udev/rules.d
//                             holds TEXT from now on (none: masked)
//   stream NAME FRAMES        FRAMES camera frames, each other than the
//                             last, at the remote's rate, from now on
//   streaming NAME            that stream has not ended yet
//   silent NAME / speak NAME  the remote falls silent (neither sends nor
//                             answers, its device still bound, as when its
//                             batteries are pulled) / speaks again (also
//                             the time `delay` counts from)
//   late NAME MS              the remote answers each status request MS
//                             late (0: as it did)
//   camera-late NAME MS|never the remote acknowledges each of its camera's
//                             set-up requests MS late, or never (0: as it did)
//   nothing MS                hitcheck prints nothing for MS, and runs
//   load N                    N processes keep the processors busy from
//                             now on (0: none)
//   said TEXT                 hitcheck's standard error so far is TEXT
//                             (`exits` wants nothing more after it)
#include "bluez_side.h"
#include "virtual_remote.h"

#include <algorithm>
#include <fnmatch.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <set>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-device.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;

// The longest a step may take: the longest step (60 s of presses) and
// room for a machine a few times slower than a quiet host's.
constexpr auto kStepLimit = std::chrono::seconds(180);

struct Hitcheck {
	pid_t pid = -1;
	int status = -1;
	Clock::time_point started;
	Clock::time_point markedAt; // where the CPU figures count from, and
	double markedCpu = 0;       // what it had used by then
	Clock::time_point lapAt;    // the same for `cpu-lap`'s figures
	double lapCpu = 0;
	std::thread reader;
	std::mutex lock;
	std::string out;
	std::vector<std::pair<Clock::time_point, size_t>> arrivals; // end offset of each chunk
	size_t cursor = 0; // what the expectations have matched so far
	int errFd = -1;
	std::string err; // standard error read, not yet checked
};

// Reads what hitcheck has said on standard error, until it has said
// `want` bytes or `limit` has passed (until it ends, with no limit).
void readErr(Hitcheck &hc, size_t want, milliseconds limit)
{
	char buf[4096];
	auto end = Clock::now() + limit;
	while (hc.errFd >= 0 && hc.err.size() < want) {
		pollfd p = {hc.errFd, POLLIN, 0};
		auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
		if (limit.count() && (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0))
			return;
		ssize_t n = read(hc.errFd, buf, sizeof buf);
		if (n <= 0)
			return;
		hc.err.append(buf, static_cast<size_t>(n));
	}
}

struct Stream {
	std::thread thread;
	std::atomic<bool> done{false};
};

struct Run {
	std::string program;
	bool show = false;
	std::map<std::string, std::unique_ptr<VirtualRemote>> remotes;
	std::map<std::string, int> watchers; // a second reader's descriptor, by remote
	std::map<std::string, std::unique_ptr<Stream>> streams; // by remote
	std::vector<pid_t> load; // busy processes
	Clock::time_point lastPress, lastSeen;
	std::set<int> ready; // remotes' controllers made ready, their SYNC not pressed yet
	std::unique_ptr<Hitcheck> hc = std::make_unique<Hitcheck>();
	int passed = 0, failed = 0;
	std::vector<double> shares; // the cpu figures so far, percent of a core
	uid_t uid = 0; // who hitcheck runs as
	gid_t gid = 0;
	std::vector<gid_t> groups;
};

const std::map<std::string, uint16_t> kKeys = {
	{"A", 0x0008},  {"B", 0x0004},     {"UP", 0x0800},   {"DOWN", 0x0400},
	{"LEFT", 0x0100}, {"RIGHT", 0x0200}, {"MINUS", 0x0010}, {"PLUS", 0x1000},
	{"ONE", 0x0002}, {"TWO", 0x0001},   {"HOME", 0x0080}};

double ms(Clock::duration d)
{
	return std::chrono::duration<double, std::milli>(d).count();
}

std::string unescape(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); ++i)
		if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
			out += '\n';
			++i;
		} else {
			out += s[i];
		}
	return out;
}

bool waitFor(const std::function<bool()> &done, milliseconds limit)
{
	auto end = Clock::now() + limit;
	while (!done()) {
		if (Clock::now() >= end)
			return false;
		std::this_thread::sleep_for(milliseconds(5));
	}
	return true;
}

void readOutput(Hitcheck *hc, int fd, bool show)
{
	char buf[4096];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		auto now = Clock::now();
		std::lock_guard<std::mutex> hold(hc->lock);
		hc->out.append(buf, static_cast<size_t>(n));
		hc->arrivals.push_back({now, hc->out.size()});
		if (show && fwrite(buf, 1, static_cast<size_t>(n), stdout) > 0)
			fflush(stdout);
	}
	close(fd);
}

bool start(Run &run, std::string &why)
{
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
		why = std::strerror(errno);
		return false;
	}
	if (run.hc->reader.joinable())
		run.hc->reader.join();
	run.hc = std::make_unique<Hitcheck>();
	run.hc->started = run.hc->markedAt = run.hc->lapAt = Clock::now();
	run.hc->pid = fork();
	if (run.hc->pid == 0) {
		dup2(out[1], 1);
		dup2(err[1], 2);
		if (run.uid != 0 && (setgroups(run.groups.size(), run.groups.data()) != 0 || setgid(run.gid) != 0 ||
		                     setuid(run.uid) != 0))
			_exit(126);
		execl(run.program.c_str(), run.program.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	run.hc->errFd = err[0];
	run.hc->reader = std::thread(readOutput, run.hc.get(), out[0], run.show);
	return true;
}

bool exited(Hitcheck &hc)
{
	if (hc.pid > 0 && waitpid(hc.pid, &hc.status, WNOHANG) == hc.pid)
		hc.pid = -1;
	return hc.pid < 0;
}

// When the byte of hitcheck's output at `offset` arrived (under hc.lock).
Clock::time_point printedAt(const Hitcheck &hc, size_t offset)
{
	for (auto &[when, end] : hc.arrivals)
		if (end > offset)
			return when;
	return hc.started;
}

// Waits for TEXT in hitcheck's output from the cursor on; the time of the
// chunk that completed it goes to `when`.
bool expectText(Hitcheck &hc, const std::string &text, milliseconds limit, Clock::time_point *when,
                std::string &why)
{
	size_t found = std::string::npos;
	bool ok = waitFor([&] {
		std::lock_guard<std::mutex> hold(hc.lock);
		found = hc.out.find(text, hc.cursor);
		return found != std::string::npos;
	}, limit);
	std::lock_guard<std::mutex> hold(hc.lock);
	if (!ok) {
		why = "not printed; output from there: \"" + hc.out.substr(hc.cursor) + "\"";
		return false;
	}
	size_t end = found + text.size();
	if (when)
		*when = printedAt(hc, end - 1);
	hc.cursor = end;
	return true;
}

double cpuSeconds(pid_t pid)
{
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
	std::istringstream fields(all.substr(all.rfind(')') + 2));
	std::string f;
	unsigned long utime = 0, stime = 0;
	for (int i = 3; i <= 15 && fields >> f; ++i) {
		if (i == 14)
			utime = std::stoul(f);
		if (i == 15)
			stime = std::stoul(f);
	}
	return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// How many bytes of events a descriptor holds now; it is read empty.
size_t drain(int fd)
{
	char buf[4096];
	size_t total = 0;
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
		total += static_cast<size_t>(n);
	return total;
}

VirtualRemote *remoteNamed(Run &run, const std::string &name, std::string &why)
{
	auto it = run.remotes.find(name);
	if (it == run.remotes.end()) {
		why = "no remote " + name;
		return nullptr;
	}
	return it->second.get();
}

uint16_t keysOf(std::istringstream &words)
{
	uint16_t mask = 0;
	for (std::string k; words >> k;)
		mask |= kKeys.count(k) ? kKeys.at(k) : 0;
	return mask;
}

// N busy processes from now on, in place of those before.
void setLoad(Run &run, size_t n)
{
	for (pid_t pid : run.load) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	run.load.clear();
	while (run.load.size() < n) {
		pid_t pid = fork();
		if (pid == 0)
			for (volatile unsigned spin = 0;; spin = spin + 1) {
			}
		run.load.push_back(pid);
	}
}

// From the kernel's log: the first time hid-generic bound a Bluetooth HID
// device with no Device ID under a remote's name, to the time hid-wiimote
// bound it, in ms (each driver logs its binding, with the kernel's clock).
double noIdWindow(std::string &why)
{
	int fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	std::string device;
	double from = 0;
	char record[8192];
	for (ssize_t n; fd >= 0 && (n = read(fd, record, sizeof record - 1)) != 0;) {
		if (n < 0) {
			if (errno == EPIPE || errno == EINTR)
				continue; // overwritten, or interrupted: the next one
			break;
		}
		record[n] = 0;
		std::string r(record);
		size_t semi = r.find(';'), c1 = r.find(','), c2 = r.find(',', c1 + 1);
		if (semi == std::string::npos || c2 == std::string::npos)
			continue;
		double at = std::atof(r.c_str() + c2 + 1) / 1000;
		std::string text = r.substr(semi + 1, r.find('\n') - semi - 1);
		if (device.empty() && text.rfind("hid-generic 0005:0000:0000.", 0) == 0 &&
		    text.find("[Nintendo RVL-CNT-01") != std::string::npos) {
			device = text.substr(12, text.find(':', 27) - 12);
			from = at;
		} else if (!device.empty() && text.rfind("wiimote " + device + ":", 0) == 0) {
			close(fd);
			return at - from;
		}
	}
	if (fd >= 0)
		close(fd);
	why = device.empty() ? "hid-generic never bound a remote with no Device ID"
	                     : "hid-wiimote never bound " + device + " after hid-generic";
	return 0;
}

// One step; false with a reason when it fails. `figure` is printed as is.
bool step(Run &run, const std::string &line, std::string &why, std::string &figure)
{
	std::istringstream words(line);
	std::string verb, name;
	words >> verb;
	Hitcheck &hc = *run.hc;

	if (verb == "air-remote") {
		int hci = 1;
		words >> name >> hci;
		auto r = std::make_unique<VirtualRemote>();
		if (!createAirRemote(*r, hci, why))
			return false;
		leaveSync(hci);
		run.remotes[name] = std::move(r);
		return true;
	}
	if (verb == "remote") {
		std::string uniq;
		words >> name >> uniq;
		auto r = std::make_unique<VirtualRemote>();
		if (!createRemote(*r, uniq, why))
			return false;
		if (waitProbed(*r, milliseconds(10000)).empty()) {
			why = "the driver did not probe it";
			return false;
		}
		run.lastPress = Clock::now(); // what `delay` counts from, too
		run.remotes[name] = std::move(r);
		return true;
	}
	if (verb == "start") {
		// Another program of the family from here on, when named.
		std::string other;
		if (words >> other)
			run.program = other;
		return start(run, why);
	}
	if (verb == "unlinked") {
		int hci = 1;
		words >> hci;
		return unlinked(hci, 0, why);
	}
	if (verb == "link") {
		int from = 1, to = 1;
		words >> from >> to;
		return holdLink(from, to, why);
	}
	if (verb == "no-id-window") {
		double held = noIdWindow(why);
		char text[160];
		std::snprintf(text, sizeof text, "hid-generic held the remote with no Device ID for %.2f ms", held);
		figure = text;
		return why.empty();
	}
	if (verb == "limited") {
		int hci = 1;
		words >> hci;
		return heardFirstInLimited(hci, why);
	}
	if (verb == "off") {
		int hci = 1;
		words >> hci;
		return switchOff(hci, why);
	}
	if (verb == "bluez") {
		int hci = 1, delay = 0;
		words >> hci >> delay;
		return startBluez(hci, milliseconds(delay), why);
	}
	if (verb == "restart-bluez")
		return restartBluez(why);
	if (verb == "rule") {
		words >> name;
		std::string text;
		std::getline(words >> std::ws, text);
		std::ofstream("/etc/udev/rules.d/" + name) << text << "\n";
		if (std::system("/usr/bin/udevadm control --reload") != 0)
			why = "udevadm control --reload failed";
		return why.empty();
	}
	if (verb == "user") {
		run.groups.clear();
		words >> run.uid >> run.gid;
		for (gid_t g; words >> g;)
			run.groups.push_back(g);
		return true;
	}
	if (verb == "expect") {
		std::string text = unescape(line.substr(line.find(' ') + 1));
		return expectText(hc, text, milliseconds(20000), &run.lastSeen, why);
	}
	if (verb == "load") {
		size_t n = 0;
		words >> n;
		setLoad(run, n);
		return true;
	}
	if (verb == "nothing") {
		int n = 0;
		words >> n;
		size_t before;
		{
			std::lock_guard<std::mutex> hold(hc.lock);
			before = hc.out.size();
		}
		std::this_thread::sleep_for(milliseconds(n));
		std::lock_guard<std::mutex> hold(hc.lock);
		if (exited(hc))
			why = "hitcheck ended, status " + std::to_string(hc.status);
		else if (hc.out.size() != before)
			why = "printed \"" + hc.out.substr(before) + "\"";
		return why.empty();
	}
	if (verb == "said") {
		// A '*' stands for any text (a node's number).
		std::string text = unescape(line.substr(line.find(' ') + 1));
		auto end = Clock::now() + milliseconds(10000);
		if (text.find('*') == std::string::npos)
			readErr(hc, text.size(), milliseconds(3000));
		else
			while (fnmatch(text.c_str(), hc.err.c_str(), 0) != 0 && Clock::now() < end)
				readErr(hc, hc.err.size() + 1, milliseconds(100));
		if (text.find('*') == std::string::npos ? hc.err != text : fnmatch(text.c_str(), hc.err.c_str(), 0) != 0)
			why = "standard error: " + hc.err;
		hc.err.clear();
		return why.empty();
	}
	if (verb == "delay") {
		std::string label = line.substr(line.find(' ') + 1);
		char text[160];
		std::snprintf(text, sizeof text, "%s: %.2f ms", label.c_str(), ms(run.lastSeen - run.lastPress));
		figure = text;
		return true;
	}
	if (verb == "wait") {
		int n = 0;
		words >> n;
		std::this_thread::sleep_for(milliseconds(n));
		return true;
	}
	if (verb == "idle-cpu") {
		int seconds = 5;
		words >> seconds;
		double before = cpuSeconds(hc.pid);
		auto t0 = Clock::now();
		std::this_thread::sleep_for(std::chrono::seconds(seconds));
		double used = cpuSeconds(hc.pid) - before;
		double share = 100.0 * used / (ms(Clock::now() - t0) / 1000.0);
		char text[160];
		std::snprintf(text, sizeof text, "idle CPU: %.2f s over %d s = %.2f%% of a core", used, seconds, share);
		figure = text;
		if (share >= 5.0) {
			why = figure;
			return false;
		}
		return true;
	}
	if (verb == "cpu-mark") {
		hc.markedAt = hc.lapAt = Clock::now();
		hc.markedCpu = hc.lapCpu = cpuSeconds(hc.pid);
		return true;
	}
	if (verb == "cpu" || verb == "cpu-lap") {
		bool lap = verb == "cpu-lap";
		Clock::time_point now = Clock::now();
		double cpu = cpuSeconds(hc.pid);
		double wall = ms(now - (lap ? hc.lapAt : hc.markedAt)) / 1000.0, used = cpu - (lap ? hc.lapCpu : hc.markedCpu);
		char text[200];
		std::snprintf(text, sizeof text, "%s: %.2f s of CPU in %.2f s = %.2f%% of a core",
		              line.substr(line.find(' ') + 1).c_str(), used, wall, 100.0 * used / wall);
		figure = text;
		run.shares.push_back(100.0 * used / wall);
		if (lap) {
			hc.lapAt = now;
			hc.lapCpu = cpu;
		}
		return true;
	}
	if (verb == "cpu-ratio") {
		// The last two `cpu` figures side by side: the later over the earlier.
		if (run.shares.size() < 2) {
			why = "two cpu figures are needed";
			return false;
		}
		double later = run.shares.back(), earlier = run.shares[run.shares.size() - 2];
		char text[200];
		std::snprintf(text, sizeof text, "%s: %.2f%% against %.2f%% = %.2f", line.substr(line.find(' ') + 1).c_str(),
		              later, earlier, later / earlier);
		figure = text;
		return true;
	}
	if (verb == "startup-time") {
		Clock::time_point last = hc.started;
		for (auto &[n, r] : run.remotes) {
			std::lock_guard<std::mutex> hold(r->lock);
			if (!r->rumbles.empty())
				last = std::max(last, r->rumbles.back().first);
		}
		// Where the time went: each search with its connection, as the
		// lines that end them arrived; the LEDs; the rumble.
		auto arrived = [&](const char *text) {
			std::lock_guard<std::mutex> hold(hc.lock);
			size_t at = hc.out.find(text);
			return at == std::string::npos ? hc.started : printedAt(hc, at);
		};
		Clock::time_point player = arrived("inizializzazione wiimote_robot"),
		                  robot = arrived("wiimote_robot di"), rumble = last;
		for (auto &[n, r] : run.remotes) {
			std::lock_guard<std::mutex> hold(r->lock);
			for (auto &[when, on] : r->rumbles)
				if (on)
					rumble = std::min(rumble, when);
		}
		char text[240];
		std::snprintf(text, sizeof text,
		              "start-up with both remotes present: %.0f ms (player's search and connection %.0f ms, "
		              "robot's %.0f ms, to the rumble %.0f ms, rumble %.0f ms)",
		              ms(last - hc.started), ms(player - hc.started), ms(robot - player), ms(rumble - robot),
		              ms(last - rumble));
		figure = text;
		return true;
	}
	if (verb == "running") {
		int n = 0;
		words >> n;
		std::this_thread::sleep_for(milliseconds(n));
		if (exited(hc)) {
			why = "hitcheck ended, status " + std::to_string(hc.status);
			return false;
		}
		return true;
	}
	if (verb == "exits" || verb == "interrupt") {
		// Ctrl-C: it ends as the signal does, having said nothing.
		bool ctrlC = verb == "interrupt";
		int status = 0, n = 0;
		if (!ctrlC)
			words >> status;
		words >> n;
		if (ctrlC)
			kill(hc.pid, SIGINT);
		auto t0 = Clock::now();
		if (!waitFor([&] { return exited(hc); }, milliseconds(n))) {
			why = "still running after " + std::to_string(n) + " ms";
			kill(hc.pid, SIGKILL);
			waitpid(hc.pid, &hc.status, 0);
			hc.pid = -1;
			return false;
		}
		if (hc.reader.joinable())
			hc.reader.join();
		char text[80];
		std::snprintf(text, sizeof text, "ended %.0f ms after the step", ms(Clock::now() - t0));
		figure = text;
		if (ctrlC ? !WIFSIGNALED(hc.status) || WTERMSIG(hc.status) != SIGINT
		          : !WIFEXITED(hc.status) || WEXITSTATUS(hc.status) != status) {
			why = WIFSIGNALED(hc.status) ? "killed by signal " + std::to_string(WTERMSIG(hc.status))
			                             : "status " + std::to_string(WEXITSTATUS(hc.status));
			return false;
		}
		readErr(hc, SIZE_MAX, milliseconds(0));
		close(hc.errFd);
		hc.errFd = -1;
		// What it said last (a '*' stands for any text), or nothing.
		std::string said;
		std::getline(words >> std::ws, said);
		said = unescape(said);
		if (said.empty() ? !hc.err.empty() : fnmatch(said.c_str(), hc.err.c_str(), 0) != 0)
			why = "standard error: " + hc.err;
		hc.err.clear();
		return why.empty();
	}

	// The rest act on one remote.
	words >> name;
	VirtualRemote *r = remoteNamed(run, name, why);
	if (!r)
		return false;
	if (verb == "press" || verb == "release") {
		uint16_t keys = keysOf(words);
		uint16_t now;
		{
			std::lock_guard<std::mutex> hold(r->lock);
			now = verb == "press" ? r->buttons | keys : r->buttons & ~keys;
		}
		run.lastPress = sendButtons(*r, now);
		return true;
	}
	if (verb == "connect") {
		int host = 0;
		words >> host;
		run.lastPress = Clock::now();
		return connectAir(*r, host, why);
	}
	if (verb == "ready" || verb == "sync") {
		int hci = 1;
		std::string clone;
		words >> hci >> clone;
		// A remote not made ready first is, before its SYNC is pressed.
		if ((verb == "ready" || !run.ready.erase(hci)) && !readySync(hci, clone == "clone", why))
			return false;
		if (verb == "ready")
			return run.ready.insert(hci).second;
		run.lastPress = Clock::now();
		return pressSync(hci);
	}
	if (verb == "watch") {
		std::string node = coreNode(*r);
		int fd = node.empty() ? -1 : open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd < 0) {
			why = "cannot open the button node " + node + ": " + std::strerror(errno);
			return false;
		}
		drain(fd);
		run.watchers[name] = fd;
		return true;
	}
	if (verb == "unseen" || verb == "seen") {
		auto w = run.watchers.find(name);
		if (w == run.watchers.end()) {
			why = "not watched";
			return false;
		}
		size_t events = 0;
		waitFor([&] {
			events += drain(w->second);
			return verb == "seen" && events > 0;
		}, milliseconds(verb == "seen" ? 3000 : 300));
		if ((events > 0) != (verb == "seen"))
			why = std::to_string(events) + " bytes of events reached the second reader";
		return why.empty();
	}
	if (verb == "camera") {
		std::vector<std::pair<int, int>> sources;
		for (std::string xy; words >> xy;)
			sources.push_back({std::stoi(xy), std::stoi(xy.substr(xy.find(',') + 1))});
		run.lastPress = Clock::now(); // what `delay` counts from
		sendCamera(*r, sources);
		return true;
	}
	if (verb == "leds") {
		int mask = 0;
		words >> std::hex >> mask;
		int seen = -1;
		bool ok = waitFor([&] {
			std::lock_guard<std::mutex> hold(r->lock);
			seen = r->leds;
			return seen == mask;
		}, milliseconds(3000));
		if (!ok)
			why = "LED mask is " + std::to_string(seen);
		return ok;
	}
	if (verb == "rumbled") {
		std::lock_guard<std::mutex> hold(r->lock);
		if (r->rumbles.size() != 2 || !r->rumbles[0].second || r->rumbles[1].second) {
			why = std::to_string(r->rumbles.size()) + " rumble changes";
			return false;
		}
		double length = ms(r->rumbles[1].first - r->rumbles[0].first);
		char text[80];
		std::snprintf(text, sizeof text, "%s rumbled %.0f ms", name.c_str(), length);
		figure = text;
		if (length < 150 || length > 1000) {
			why = figure;
			return false;
		}
		return true;
	}
	if (verb == "infrared") {
		std::string want;
		words >> want;
		bool ok = waitFor([&] {
			// On once the driver has asked for reports that carry it too.
			std::lock_guard<std::mutex> hold(r->lock);
			return want == "on" ? r->camera && r->mode >= 0x33 : !r->camera;
		}, milliseconds(10000));
		if (!ok)
			why = "the camera is not " + want;
		return ok;
	}
	if (verb == "udev") {
		std::string group;
		words >> group;
		std::string node = coreNode(*r);
		sd_device *d = nullptr;
		struct stat st;
		const struct group *owner = stat(node.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
		if (sd_device_new_from_devname(&d, node.c_str()) < 0) {
			why = "udev does not know " + node;
			return false;
		}
		bool tagged = sd_device_has_tag(d, "uaccess") > 0;
		sd_device_unref(d);
		if (!tagged || !owner || group != owner->gr_name)
			why = node + (tagged ? " is tagged" : " is not tagged") + " for the seat's user, group " +
			      (owner ? owner->gr_name : "unknown");
		return why.empty();
	}
	if (verb == "late") {
		int ms = 0;
		words >> ms;
		std::lock_guard<std::mutex> hold(r->lock);
		r->statusLate = std::chrono::milliseconds(ms);
		return true;
	}
	if (verb == "camera-late") {
		std::string ms;
		words >> ms;
		std::lock_guard<std::mutex> hold(r->lock);
		r->cameraLate = std::chrono::milliseconds(ms == "never" ? -1 : std::atoi(ms.c_str()));
		return true;
	}
	if (verb == "silent" || verb == "speak") {
		std::lock_guard<std::mutex> hold(r->lock);
		r->silent = verb == "silent";
		run.lastPress = Clock::now();
		return true;
	}
	if (verb == "stream") {
		int frames = 0;
		words >> frames;
		auto &st = run.streams[name];
		if (st)
			st->thread.join(); // the one before ends first
		st = std::make_unique<Stream>();
		st->thread = std::thread([r, frames, done = &st->done] {
			for (int i = 0; i < frames; ++i)
				sendCamera(*r, {{400 + i % 2, 300}, {600, 300}});
			*done = true;
		});
		return true;
	}
	if (verb == "streaming") {
		auto st = run.streams.find(name);
		if (st == run.streams.end() || st->second->done)
			why = "the stream has ended";
		return why.empty();
	}
	if (verb == "remove") {
		if (auto st = run.streams.find(name); st != run.streams.end()) {
			st->second->thread.join();
			run.streams.erase(st);
		}
		destroyRemote(*r);
		return true;
	}
	if (verb == "latency") {
		// The player's remote is `r`; the robot's, then the seconds.
		std::string robotName;
		int seconds = 60;
		words >> robotName >> seconds;
		VirtualRemote *robot = remoteNamed(run, robotName, why);
		if (!robot)
			return false;
		// A press and its release on each, the lines each gives.
		struct Move {
			VirtualRemote *remote;
			uint16_t buttons;
			const char *text;
			bool timed;
		} const moves[] = {
			{r, 0x0008, "[id 1] ---\nA pressed\nNon vedo 2 led...", true},
			{robot, 0x0008, "[id 2] ---\nA pressed\n", true},
			{r, 0, "[id 1] ---\nNon vedo 2 led...", false},
			{robot, 0, "[id 2] ---\n", false},
		};
		std::vector<double> delays;
		auto end = Clock::now() + std::chrono::seconds(seconds);
		for (auto tick = Clock::now(); tick < end; tick += milliseconds(100)) {
			std::this_thread::sleep_until(tick);
			for (const Move &m : moves) {
				Clock::time_point sent = sendButtons(*m.remote, m.buttons), seen;
				if (!expectText(hc, m.text, milliseconds(5000), &seen, why))
					return false;
				if (m.timed)
					delays.push_back(ms(seen - sent));
			}
		}
		std::sort(delays.begin(), delays.end());
		char text[200];
		std::snprintf(text, sizeof text,
		              "report to line, %zu presses on two remotes over %d s: median %.2f ms, "
		              "99th percentile %.2f ms, worst %.2f ms",
		              delays.size(), seconds, delays[delays.size() / 2],
		              delays[delays.size() * 99 / 100], delays.back());
		figure = text;
		return true;
	}
	why = "unknown step";
	return false;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: vmcheck HITCHECK SCRIPT [--show]\n");
		return 2;
	}
	Run run;
	run.program = argv[1];
	run.show = argc > 3 && std::string(argv[3]) == "--show";
	std::ifstream script(argv[2]);
	if (!script) {
		std::fprintf(stderr, "vmcheck: cannot read %s\n", argv[2]);
		return 2;
	}
	// A step that never ends (a join, a wait on a stuck machine) fails as
	// itself, with the machine's own clock, well before the host's bound.
	// What it watches lives as long as the process, as the thread does.
	static struct {
		std::mutex lock;
		std::string step; // under way; empty: none
		Clock::time_point began;
		int passed = 0;
	} watch;
	std::thread([] {
		for (;;) {
			std::this_thread::sleep_for(milliseconds(1000));
			std::lock_guard<std::mutex> hold(watch.lock);
			if (watch.step.empty() || Clock::now() - watch.began < kStepLimit)
				continue;
			timespec up{};
			clock_gettime(CLOCK_BOOTTIME, &up);
			std::printf("not ok - %s: still under way after %ld s (the machine's clock: %ld s since boot)\n",
			            watch.step.c_str(), static_cast<long>(kStepLimit.count()), static_cast<long>(up.tv_sec));
			std::printf("vmcheck: %d passed, 1 failed\n", watch.passed);
			std::fflush(stdout);
			_exit(1);
		}
	}).detach();
	for (std::string line; std::getline(script, line);) {
		if (line.empty() || line[0] == '#')
			continue;
		std::string why, figure;
		{
			std::lock_guard<std::mutex> hold(watch.lock);
			watch.step = line;
			watch.began = Clock::now();
			watch.passed = run.passed;
		}
		bool ok = step(run, line, why, figure);
		{
			std::lock_guard<std::mutex> hold(watch.lock);
			watch.step.clear();
		}
		if (!figure.empty() && !run.show)
			std::printf("figure: %s\n", figure.c_str());
		if (run.show && ok)
			continue;
		if (run.show) {
			// The game on show stops where it went wrong, and says so.
			std::printf("\ndemo: %s: %s\n", line.c_str(), why.c_str());
			++run.failed;
			break;
		}
		// On one line, as the host reads the console line by line.
		for (size_t at; (at = why.find('\n')) != std::string::npos;)
			why.replace(at, 1, "\\n");
		std::printf("%s - %s%s%s\n", ok ? "ok" : "not ok", line.c_str(), ok ? "" : ": ", why.c_str());
		std::fflush(stdout);
		ok ? ++run.passed : ++run.failed;
		if (!ok) {
			// What hitcheck said on standard error so far, checked or
			// not, may tell why.
			readErr(*run.hc, SIZE_MAX, milliseconds(100));
			if (!run.hc->err.empty())
				std::printf("vmcheck: hitcheck's standard error: %s\n", run.hc->err.c_str());
			break;
		}
	}
	for (auto &[name, st] : run.streams)
		st->thread.join();
	setLoad(run, 0);
	if (run.hc->pid > 0) {
		kill(run.hc->pid, SIGKILL);
		waitpid(run.hc->pid, nullptr, 0);
	}
	if (run.hc->reader.joinable())
		run.hc->reader.join();
	if (!run.show)
		std::printf("vmcheck: %d passed, %d failed\n", run.passed, run.failed);
	return run.failed ? 1 : 0;
}
