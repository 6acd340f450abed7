// serialpulse run as a child process in a private mount namespace, where
// /dev is a fresh tmpfs (with the pseudo-terminals still under /dev/pts) and
// /dev/ttyUSB0 is whatever the test puts there.
#include "support/child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string kLine = "inviato...\n";
const std::string kHupcl =
	"attenzione: /dev/ttyUSB0 ha HUPCL attivo: ogni impulso abbassa e rialza DTR, e una scheda che si "
	"riavvia con DTR ripartirà a ogni impulso; per evitarlo: stty -F /dev/ttyUSB0 -hupcl\n";

// The program under test: the one built here, or an installed one.
std::string program()
{
	const char *installed = std::getenv("SERIALPULSE_UNDER_TEST");
	return installed ? installed : SERIALPULSE;
}

// Gives the child a /dev of its own. Returns false where it cannot.
bool privateDev()
{
	if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		return false;
	int pts = open("/dev/pts", O_PATH | O_CLOEXEC);
	std::string ptsPath = "/proc/self/fd/" + std::to_string(pts);
	return pts >= 0 && mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0 &&
	       mkdir("/dev/pts", 0755) == 0 &&
	       mount(ptsPath.c_str(), "/dev/pts", nullptr, MS_BIND, nullptr) == 0;
}

// Why private mount namespaces cannot be had here; empty when they can.
std::string namespacesUnavailable()
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(privateDev() ? 0 : errno);
	int status = 0;
	waitpid(pid, &status, 0);
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		return "";
	return std::string("no private mount namespace with a /dev of its own (") +
	       std::strerror(WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL) +
	       "); these tests need root";
}

#define REQUIRE_NAMESPACES()                                                                      \
	do {                                                                                          \
		std::string why = namespacesUnavailable();                                                \
		if (!why.empty())                                                                         \
			GTEST_SKIP() << why;                                                                  \
	} while (0)

// A pseudo-terminal in raw mode, as a serial adapter's line: the test reads
// what reaches `master`.
struct Pty {
	int master = -1;
	int slave = -1; // kept open, so the line never hangs up between pulses
	std::string path;
	Pty()
	{
		master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
			return;
		slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
		struct termios t;
		if (slave < 0 || tcgetattr(slave, &t) < 0)
			return;
		cfmakeraw(&t);
		t.c_cflag |= HUPCL; // as a USB serial adapter has it
		tcsetattr(slave, TCSANOW, &t);
		path = ptsname(master);
		fcntl(master, F_SETFL, O_NONBLOCK);
	}
	~Pty()
	{
		close(slave);
		close(master);
	}
};

// Copies an executable, readable and runnable by all.
bool copyFile(const std::string &from, const std::string &to)
{
	std::ifstream in(from, std::ios::binary);
	std::ofstream out(to, std::ios::binary);
	out << in.rdbuf();
	out.close();
	return in && out && chmod(to.c_str(), 0755) == 0;
}

// What the child sees at /dev/ttyUSB0, seen from here.
std::string nodeOf(const Child &c)
{
	return "/proc/" + std::to_string(c.pid) + "/root/dev/ttyUSB0";
}

size_t lines(const std::string &out)
{
	return static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
}

bool stillRunning(const Child &c)
{
	int status;
	return waitpid(c.pid, &status, WNOHANG) == 0;
}

// Checks that every byte that reached the line is "1" and that each one but
// the pulse in flight at the stop has its "inviato..." line.
void expectPulsesMatchLines(const std::string &bytes, const std::string &out)
{
	EXPECT_EQ(bytes.find_first_not_of('1'), std::string::npos);
	size_t n = lines(out);
	std::string expected;
	for (size_t i = 0; i < n; ++i)
		expected += kLine;
	EXPECT_EQ(out, expected);
	EXPECT_GE(bytes.size(), n);
	EXPECT_LE(bytes.size(), n + 1);
}

TEST(Serialpulse, SendsOneByteAPulseAndAnnouncesEachOne)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	ASSERT_FALSE(pty.path.empty());
	Child c;
	spawn(c, program(), {}, [&] {
		return privateDev() && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0;
	});
	std::string bytes;
	EXPECT_TRUE(readUntil(c, [&](const std::string &out) {
		bytes += drain(pty.master);
		return lines(out) >= 500;
	}, milliseconds(20000)));
	stop(c, SIGKILL);
	bytes += drain(pty.master);
	expectPulsesMatchLines(bytes, c.outText);
	EXPECT_GE(lines(c.outText), 500u);
	// A terminal's default: it drops DTR at every close.
	EXPECT_EQ(c.errText, kHupcl);
}

TEST(Serialpulse, APulseTheDeviceHoldsIsSaidOnceAndPulsesResumeWithTheirLines)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	spawn(c, program(), {}, [&] {
		return privateDev() && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0;
	});
	std::string bytes;
	ASSERT_TRUE(readUntil(c, [&](const std::string &out) {
		bytes += drain(pty.master);
		return lines(out) >= 50;
	}, milliseconds(10000)));
	// Output stopped, as by XOFF from the board.
	ASSERT_EQ(tcflow(pty.slave, TCOOFF), 0);
	readUntil(c, [](const std::string &) { return false; }, milliseconds(200));
	size_t linesStopped = lines(c.outText);
	readUntil(c, [](const std::string &) { return false; }, milliseconds(2500));
	EXPECT_EQ(lines(c.outText), linesStopped);
	EXPECT_EQ(c.errText, kHupcl +
	                         "attenzione: /dev/ttyUSB0 non accetta il byte da più di un secondo "
	                         "(controllo di flusso? CTS basso o XOFF dalla scheda)\n");

	ASSERT_EQ(tcflow(pty.slave, TCOON), 0);
	EXPECT_TRUE(readUntil(c, [&](const std::string &out) {
		bytes += drain(pty.master);
		return lines(out) >= linesStopped + 50;
	}, milliseconds(10000)));
	stop(c, SIGKILL);
	bytes += drain(pty.master);
	expectPulsesMatchLines(bytes, c.outText);
}

TEST(Serialpulse, MissingDeviceIsReportedOnceAndPulsesResumeWhenItAppears)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	spawn(c, program(), {}, privateDev);
	// A few retries' worth.
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1600));
	EXPECT_EQ(c.errText, "impossibile aprire /dev/ttyUSB0: No such file or directory\n");
	EXPECT_EQ(c.outText, "");
	struct stat st;
	EXPECT_NE(lstat(nodeOf(c).c_str(), &st), 0) << "a file was created in place of the device";
	ASSERT_TRUE(stillRunning(c));

	// A line that keeps DTR up: nothing to say about it.
	struct termios t;
	ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
	t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
	ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
	ASSERT_EQ(symlink(pty.path.c_str(), nodeOf(c).c_str()), 0) << std::strerror(errno);
	std::string bytes;
	EXPECT_TRUE(readUntil(c, [&](const std::string &out) {
		bytes += drain(pty.master);
		return lines(out) >= 20;
	}, milliseconds(10000)));
	stop(c, SIGKILL);
	bytes += drain(pty.master);
	expectPulsesMatchLines(bytes, c.outText);
	EXPECT_EQ(c.errText, "impossibile aprire /dev/ttyUSB0: No such file or directory\n");
}

TEST(Serialpulse, ARegularFileAtTheDevicePathIsNeverWrittenEvenRenamedOverItDuringPulses)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	spawn(c, program(), {}, [] {
		if (!privateDev())
			return false;
		std::ofstream("/dev/ttyUSB0") << "robot";
		return true;
	});
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1200));
	const std::string refused = "impossibile aprire /dev/ttyUSB0: non è un dispositivo a caratteri\n";
	EXPECT_EQ(c.errText, refused);
	EXPECT_EQ(c.outText, "");
	auto content = [&] {
		std::ifstream file(nodeOf(c));
		return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
	};
	EXPECT_EQ(content(), "robot");
	EXPECT_TRUE(stillRunning(c));

	// Pulses under way, a file is renamed over the device: not one byte
	// goes into it.
	ASSERT_EQ(unlink(nodeOf(c).c_str()), 0);
	ASSERT_EQ(symlink(pty.path.c_str(), nodeOf(c).c_str()), 0);
	ASSERT_TRUE(readUntil(c, [](const std::string &out) { return lines(out) >= 20; }, milliseconds(5000)));
	std::ofstream(nodeOf(c) + ".new") << "robot";
	ASSERT_EQ(rename((nodeOf(c) + ".new").c_str(), nodeOf(c).c_str()), 0);
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1200));
	EXPECT_EQ(content(), "robot");
	EXPECT_EQ(c.errText, refused + kHupcl + refused);
	// A directory there is no device either, and said so: nothing new.
	ASSERT_EQ(unlink(nodeOf(c).c_str()), 0);
	ASSERT_EQ(mkdir(nodeOf(c).c_str(), 0755), 0);
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1200));
	EXPECT_EQ(c.errText, refused + kHupcl + refused);
}

TEST(Serialpulse, ADeviceThatIsNotATerminalIsSaidOnceAFailingOrVanishedOutputOnceAndAClosedErrorNowhere)
{
	REQUIRE_NAMESPACES();
	// /dev/null behind the path: the bytes go, nothing carries them.
	Child c;
	spawn(c, program(), {}, [] {
		return privateDev() && mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0 &&
		       symlink("/dev/null", "/dev/ttyUSB0") == 0;
	});
	EXPECT_TRUE(readUntil(c, [](const std::string &out) { return lines(out) >= 1000; }, milliseconds(10000)));
	stop(c, SIGKILL);
	EXPECT_EQ(c.errText, "attenzione: /dev/ttyUSB0 non è un terminale seriale: il byte gli arriva, ma nessuna "
	                     "linea lo porta alla scheda (è l'adattatore USB seriale?)\n");

	// Standard output on a full disk, or whose reader went away: said once,
	// and the pulses go on. Standard error closed at start: its warnings
	// never reach the line.
	Pty pty;
	const char *failed[] = {"No space left on device", "Broken pipe", nullptr};
	for (const char *why : failed) {
		Child full;
		spawn(full, program(), {}, [&] {
			int disk = open("/dev/full", O_WRONLY | O_CLOEXEC), gone[2];
			bool out = !why || (std::string(why) == "Broken pipe"
			                        ? pipe(gone) == 0 && dup2(gone[1], STDOUT_FILENO) == STDOUT_FILENO && close(gone[0]) == 0
			                        : dup2(disk, STDOUT_FILENO) == STDOUT_FILENO);
			return out && privateDev() && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0 &&
			       (why || (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0 && close(STDERR_FILENO) == 0));
		});
		std::string bytes;
		EXPECT_TRUE(readUntil(full, [&](const std::string &) {
			bytes += drain(pty.master);
			return bytes.size() >= 100;
		}, milliseconds(10000)));
		EXPECT_TRUE(stillRunning(full));
		stop(full, SIGKILL);
		bytes += drain(pty.master);
		EXPECT_EQ(full.errText, why ? kHupcl + "impossibile scrivere su standard output: " + why +
		                                  " (gli impulsi continuano, senza le loro righe)\n"
		                            : "");
		if (!why)
			expectPulsesMatchLines(bytes, full.outText);
	}
}

TEST(Serialpulse, ADeviceItMayNotOpenOrThatAnotherHoldsIsReportedWithAHint)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	// The unprivileged user gets a copy of the program in the private /dev,
	// wherever the build tree lies and whoever may enter it.
	const char copy[] = "/dev/serialpulse";
	spawn(c, copy, {}, [&] {
		// The terminal is as a serial adapter's node: root's, group dialout's.
		const struct group *dialout = getgrnam("dialout");
		return dialout && chown(pty.path.c_str(), 0, dialout->gr_gid) == 0 && chmod(pty.path.c_str(), 0660) == 0 &&
		       privateDev() && copyFile(program(), copy) && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0 &&
		       setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
	});
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1200));
	const std::string denied = "impossibile aprire /dev/ttyUSB0: Permission denied (l'utente deve far "
	                           "parte del gruppo dialout: vedi il README, \"Permissions\")\n";
	EXPECT_EQ(c.errText, denied);
	EXPECT_EQ(c.outText, "");
	EXPECT_EQ(drain(pty.master), "");
	EXPECT_TRUE(stillRunning(c));

	// Open to all, but held exclusively by another program.
	ASSERT_EQ(ioctl(pty.slave, TIOCEXCL), 0);
	ASSERT_EQ(chmod(pty.path.c_str(), 0666), 0);
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1200));
	EXPECT_EQ(c.errText, denied + "impossibile aprire /dev/ttyUSB0: Device or resource busy (un altro "
	                              "programma tiene la porta in esclusiva)\n");
	EXPECT_EQ(c.outText, "");
	ASSERT_EQ(ioctl(pty.slave, TIOCNXCL), 0);
	EXPECT_TRUE(readUntil(c, [](const std::string &out) { return lines(out) >= 10; }, milliseconds(5000)));
}

TEST(Serialpulse, ANodeStillRootsAfterAReplugIsSaidOnlyOnceItLastsAndNeverAsAGroupToJoin)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	const struct group *dialout = getgrnam("dialout");
	ASSERT_TRUE(dialout);
	gid_t member = dialout->gr_gid;
	// Just plugged in: devtmpfs's root:root 0600, before udev gives it out.
	ASSERT_EQ(chown(pty.path.c_str(), 0, 0) | chmod(pty.path.c_str(), 0600), 0);
	const char copy[] = "/dev/serialpulse";
	spawn(c, copy, {}, [&] {
		return privateDev() && copyFile(program(), copy) && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0 &&
		       setgroups(1, &member) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
	});
	readUntil(c, [](const std::string &) { return false; }, milliseconds(1500));
	EXPECT_EQ(c.errText, "");
	readUntil(c, [](const std::string &) { return false; }, milliseconds(2500));
	EXPECT_EQ(c.errText, "impossibile aprire /dev/ttyUSB0: Permission denied (il nodo è solo di root: le "
	                     "regole udev per gli adattatori seriali non sono state applicate)\n");
	// udev gives it to dialout, which the user is in: the pulses resume.
	ASSERT_EQ(chown(pty.path.c_str(), 0, member) | chmod(pty.path.c_str(), 0660), 0);
	EXPECT_TRUE(readUntil(c, [](const std::string &out) { return lines(out) >= 10; }, milliseconds(5000)));
}

TEST(Serialpulse, ANonBlockingStandardOutputWhoseReaderPausesLosesNoLine)
{
	REQUIRE_NAMESPACES();
	Pty pty;
	Child c;
	spawn(c, program(), {}, [&] {
		return privateDev() && symlink(pty.path.c_str(), "/dev/ttyUSB0") == 0 &&
		       fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) == 0;
	});
	// The reader pauses while the pipe fills many times over.
	std::string bytes;
	for (int i = 0; i < 20; ++i) {
		usleep(100000);
		bytes += drain(pty.master);
	}
	EXPECT_GE(bytes.size() * kLine.size(), 60000u) << "the pipe never filled";
	readUntil(c, [&](const std::string &) {
		bytes += drain(pty.master);
		return false;
	}, milliseconds(500));
	stop(c, SIGKILL);
	bytes += drain(pty.master);
	expectPulsesMatchLines(bytes, c.outText);
}

} // namespace
