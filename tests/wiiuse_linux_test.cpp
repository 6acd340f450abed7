// The project's own wiiuse: event translation on records, and the API over a
// sysfs tree and event nodes made by the test (FIFOs carrying input_event
// records where the kernel would have evdev nodes).
#include "clock.h"
#include "support/sim_clock.h"
#include "bringin.h"
#include "inquiry.h"
#include "internal.h"
#include "radio.h"
#include "translate.h"
#include "trust.h"
#include "udev.h"
#include "support/child.h"
#include "support/sim_bluetooth.h"

#include <wiiuse.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace wiiuse_linux;
using Clock = std::chrono::steady_clock;

namespace {

input_event event(unsigned type, unsigned code, int value)
{
	input_event ev{};
	ev.type = static_cast<unsigned short>(type);
	ev.code = static_cast<unsigned short>(code);
	ev.value = value;
	return ev;
}

input_event key(unsigned code, int value)
{
	return event(EV_KEY, code, value);
}

input_event abs(unsigned code, int value)
{
	return event(EV_ABS, code, value);
}

input_event syn()
{
	return event(EV_SYN, SYN_REPORT, 0);
}

// One camera frame: sources as {x, y}, the other slots empty.
std::vector<input_event> frame(std::vector<std::pair<int, int>> sources)
{
	std::vector<input_event> evs;
	for (size_t i = 0; i < 4; ++i) {
		bool seen = i < sources.size() && sources[i].first >= 0;
		evs.push_back(abs(ABS_HAT0X + 2 * i, seen ? sources[i].first : 1023));
		evs.push_back(abs(ABS_HAT0Y + 2 * i, seen ? sources[i].second : 1023));
	}
	evs.push_back(syn());
	return evs;
}

// --- The limited inquiry's events ------------------------------------------

TEST(Inquiry, AnswersInEachFormGiveAddressAndClassAndItsEndCancelOrRefusalEndsIt)
{
	std::vector<Heard> heard;
	// 00:19:1D:00:00:02, class 0x002504: plain, with RSSI, extended.
	std::vector<uint8_t> plain = {0x04, 0x02, 15, 1, 0x02, 0, 0, 0x1d, 0x19, 0, 1, 0, 0, 0x04, 0x25, 0x00, 0, 0};
	std::vector<uint8_t> rssi = {0x04, 0x22, 15, 1, 0x03, 0, 0, 0x1d, 0x19, 0, 1, 0, 0x04, 0x25, 0x00, 0, 0, 0xc4};
	std::vector<uint8_t> extended(3 + 255, 0);
	extended[0] = 0x04, extended[1] = 0x2f, extended[2] = 255, extended[3] = 1, extended[4] = 0x04, extended[8] = 0x19;
	extended[12] = 0x08, extended[13] = 0x05;
	for (auto *packet : {&plain, &rssi, &extended})
		EXPECT_EQ(parseInquiryEvent(packet->data(), packet->size(), heard), InquiryEvent::Result);
	ASSERT_EQ(heard.size(), 3u);
	EXPECT_EQ(heard[0].address, "00:19:1D:00:00:02");
	EXPECT_EQ(heard[0].deviceClass, 0x002504u);
	EXPECT_EQ(heard[1].address, "00:19:1D:00:00:03");
	EXPECT_EQ(heard[1].deviceClass, 0x002504u);
	EXPECT_EQ(heard[2].address, "00:19:00:00:00:04");
	EXPECT_EQ(heard[2].deviceClass, 0x000508u);

	const uint8_t over[] = {0x04, 0x01, 1, 0}, cancelled[] = {0x04, 0x0e, 4, 1, 0x02, 0x04, 0},
	              noneToCancel[] = {0x04, 0x0e, 4, 1, 0x02, 0x04, 0x0c},
	              busy[] = {0x04, 0x0f, 4, 0x0c, 1, 0x01, 0x04},
	              began[] = {0x04, 0x0f, 4, 0x00, 1, 0x01, 0x04}, cut[] = {0x04, 0x02, 15, 1, 0x02};
	EXPECT_EQ(parseInquiryEvent(over, sizeof over, heard), InquiryEvent::Over);
	EXPECT_EQ(parseInquiryEvent(cancelled, sizeof cancelled, heard), InquiryEvent::Over);
	EXPECT_EQ(parseInquiryEvent(noneToCancel, sizeof noneToCancel, heard), InquiryEvent::None);
	EXPECT_EQ(parseInquiryEvent(busy, sizeof busy, heard), InquiryEvent::Refused);
	EXPECT_EQ(parseInquiryEvent(began, sizeof began, heard), InquiryEvent::Began);
	EXPECT_EQ(parseInquiryEvent(cut, sizeof cut, heard), InquiryEvent::None);
	EXPECT_EQ(heard.size(), 3u);
}

TEST(Inquiry, OnlyTheSearchsOwnInquiryEndsItsTurn)
{
	using E = InquiryEvent;
	// Another's inquiry ending, or refused, before ours has begun: not ours;
	// a refusal first is ours.
	bool begun = false;
	EXPECT_EQ(ofOurs(E::Over, begun), E::None);
	bool refusedFirst = false;
	EXPECT_EQ(ofOurs(E::Refused, refusedFirst), E::Refused);
	// Ours begun: another client's refused start is not its end, its own
	// end or cancel is.
	EXPECT_EQ(ofOurs(E::Began, begun), E::None);
	EXPECT_TRUE(begun);
	EXPECT_EQ(ofOurs(E::Result, begun), E::Result);
	EXPECT_EQ(ofOurs(E::Refused, begun), E::None);
	EXPECT_EQ(ofOurs(E::Over, begun), E::Over);
}

TEST(Radio, TheLimitedInquiryHoldsTheRadioFromTheStartAndBluetoothdDiscoversOnlyWhereItCannot)
{
	using C = RadioCall;
	Time t0{};
	auto at = [&](int ms) { return t0 + Ms(ms); };
	Time deadline = at(10000);
	RadioNews none, over{false, false, InquiryEvent::Over}, refused{false, false, InquiryEvent::Refused};
	RadioState r;
	// The socket first, then the limited inquiry at once: 1.28 s and half a
	// second for its end.
	EXPECT_EQ(stepRadio(r, none, t0, deadline, false, false), C::OpenInquiry);
	EXPECT_EQ(stepRadio(r, none, t0, deadline, false, true), C::Inquire);
	EXPECT_EQ(r.due, at(1780));
	EXPECT_EQ(stepRadio(r, none, at(1779), deadline, false, true), C::None);
	// Its end begins the next, unless a device is being paged or brought in.
	EXPECT_EQ(stepRadio(r, over, at(2600), deadline, false, true), C::Inquire);
	EXPECT_EQ(stepRadio(r, over, at(5200), deadline, true, true), C::None);
	EXPECT_EQ(r.due, kNever);
	EXPECT_EQ(stepRadio(r, none, at(6000), deadline, false, true), C::Inquire);
	// No word of its end in time: cancelled, and its end awaited a while.
	EXPECT_EQ(stepRadio(r, none, at(7780), at(20000), false, true), C::CancelInquiry);
	EXPECT_EQ(stepRadio(r, none, at(8279), at(20000), false, true), C::None);
	EXPECT_EQ(stepRadio(r, over, at(9100), at(20000), false, true), C::Inquire);
	// None begins in the last second.
	stepRadio(r, over, at(12000), at(13000), false, true);
	EXPECT_EQ(r.radio, Radio::Idle);
	EXPECT_FALSE(r.discovering);
	// Refused (another client inquires): bluetoothd's discovery for the rest.
	stepRadio(r, none, at(14000), at(20000), false, true);
	EXPECT_EQ(stepRadio(r, refused, at(14100), at(20000), false, true), C::StartDiscovery);
	EXPECT_EQ(stepRadio(r, {true, true, InquiryEvent::None}, at(14200), at(20000), false, true), C::None);
	EXPECT_TRUE(r.discovering);
	EXPECT_EQ(stepRadio(r, none, at(30000), at(40000), false, true), C::None);
	// No socket: bluetoothd's discovery from the start.
	RadioState without;
	stepRadio(without, none, t0, deadline, false, false);
	EXPECT_EQ(stepRadio(without, none, t0, deadline, false, false), C::StartDiscovery);
	EXPECT_EQ(stepRadio(without, {true, false, InquiryEvent::None}, at(100), deadline, false, false), C::None);
	EXPECT_EQ(without.radio, Radio::Off);
}

TEST(Clock, SdBusTimeoutsFallDueOnTheLibrarysClockNeverInItsPast)
{
	// The library's clock a day ahead of the system's, as a test's may be.
	static Time ahead = Clock::now() + std::chrono::hours(24);
	useClock({[] { return ahead; }, realClock().wait});
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	uint64_t realNow = static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
	Time inASecond = fromMonotonic(realNow + 1'000'000);
	EXPECT_GT(inASecond, ahead + Ms(900));
	EXPECT_LE(inASecond, ahead + Ms(1000));
	EXPECT_EQ(fromMonotonic(realNow - 1'000'000), ahead); // past: now, never before
	EXPECT_EQ(fromMonotonic(UINT64_MAX), kNever);
	useClock(realClock());
}

TEST(BringIn, ADeviceIdIsAwaitedForItsTimeAndATurnGivesWayOnceSpentOrARetry)
{
	Time t0{};
	BringIn b;
	b.began = t0;
	b.until = t0 + kServicesWait;
	b.pairedHere = true;
	// Its services unread: awaited 3 s, then it is paired anew.
	EXPECT_EQ(decide(b, Kind::Unknown, true, t0 + Ms(2999), true), Decision::Wait);
	EXPECT_EQ(decide(b, Kind::Unknown, true, t0 + Ms(3000), true), Decision::PairAgain);
	b.pairedHere = false;
	EXPECT_EQ(decide(b, Kind::Unknown, true, t0 + Ms(3000), true), Decision::Leave);
	// Read with no Device ID: half a second more for one to come.
	b.noIdSince = t0 + Ms(1000);
	EXPECT_EQ(decide(b, Kind::Lookalike, true, t0 + Ms(1499), true), Decision::Wait);
	EXPECT_EQ(decide(b, Kind::Lookalike, true, t0 + Ms(1500), true), Decision::Connect);
	EXPECT_EQ(decide(b, Kind::Lookalike, true, t0 + Ms(1500), false), Decision::NeedsRule);
	EXPECT_EQ(decide(b, Kind::Stranger, true, t0 + Ms(1500), true), Decision::Leave);
	EXPECT_EQ(afterPairing("org.bluez.Error.AuthenticationFailed", Kind::Remote), Paired::ConnectAnyway);
	EXPECT_EQ(afterPairing("org.bluez.Error.AuthenticationFailed", Kind::Lookalike), Paired::Refused);
	EXPECT_EQ(afterPairing("org.freedesktop.DBus.Error.Timeout", Kind::Remote), Paired::GivenUp);
	// bluetoothd gone, or the device's object: bluetoothd's fault, not the remote's.
	EXPECT_EQ(afterPairing("org.freedesktop.DBus.Error.ServiceUnknown", Kind::Remote), Paired::Lost);
	EXPECT_EQ(afterPairing("org.freedesktop.DBus.Error.UnknownObject", Kind::Lookalike), Paired::Lost);
	EXPECT_FALSE(cutShort(b, t0 + Ms(3999)));
	EXPECT_TRUE(cutShort(b, t0 + Ms(4000)));
	b.retry = true;
	EXPECT_TRUE(cutShort(b, t0));
}

// --- Translation ---------------------------------------------------------

TEST(Trust, OnlyWhatTheDriverTakesIsConnectedAndTrustLastsWhileItPresentsAsARemote)
{
	const std::string wii = "Nintendo RVL-CNT-01";
	Facts original{"", "bluetooth:v057Ep0306d0600", 0x002504, true, false, ""};
	Facts keyboardNamedAsRemote{wii, "usb:v046DpC52Bd1200", 0x002504, true, false, ""};
	Facts clone{wii, "", 0x002504, true, false, ""};
	Facts keyboardNoId{wii, "", 0x002540, true, false, ""};
	Facts notReadYet{wii, "", 0x002504, false, false, ""};
	EXPECT_EQ(kindOf(original), Kind::Remote);
	EXPECT_EQ(kindOf(keyboardNamedAsRemote), Kind::Stranger);
	EXPECT_EQ(kindOf(clone), Kind::Lookalike);
	EXPECT_EQ(kindOf(keyboardNoId), Kind::Stranger);
	EXPECT_EQ(kindOf(notReadYet), Kind::Unknown);
	EXPECT_FALSE(mayConnect(Kind::Unknown, true));
	EXPECT_FALSE(mayConnect(Kind::Lookalike, false));
	EXPECT_TRUE(mayConnect(Kind::Lookalike, true) && mayConnect(Kind::Remote, false));
	// Worth pairing by its name, or, nameless, by a remote's class with any
	// service bits.
	EXPECT_TRUE(worthPairing({"", "", 0x002504 | 0x200000, false, false, ""}));
	EXPECT_FALSE(worthPairing({"Keyboard", "", 0x002504, false, false, ""}));
	// Made as a remote under a name the driver does not take: said.
	EXPECT_TRUE(misnamedLookalike({"Nintendo RVL-CNT-01-UC", "", 0x002504, false, false, ""}));
	EXPECT_FALSE(misnamedLookalike(clone) || misnamedLookalike({"Keyboard", "", 0x002540, true, false, ""}));
	// Trust lasts while it presents as a remote by its class, name, Device
	// ID and driver; hid-generic may hold one with no Device ID until
	// udev's rule moves it.
	EXPECT_TRUE(presentsAsRemote(original) && presentsAsRemote(clone));
	EXPECT_FALSE(presentsAsRemote(keyboardNoId) || presentsAsRemote(keyboardNamedAsRemote));
	Facts turned = original;
	turned.name = "Keyboard K120";
	EXPECT_TRUE(presentsAsRemote(turned)); // Nintendo's Device ID, whatever the name
	turned.deviceClass = 0x002540;
	EXPECT_FALSE(presentsAsRemote(turned));
	clone.driver = "hid-generic";
	EXPECT_TRUE(presentsAsRemote(clone));
	clone.driver = "hid-multitouch";
	EXPECT_FALSE(presentsAsRemote(clone));
	original.driver = "hid-generic";
	EXPECT_FALSE(presentsAsRemote(original));
	// With no record, what the library may have trusted is judged.
	EXPECT_TRUE(mayBeOurs(turned) && mayBeOurs(clone));
	EXPECT_FALSE(mayBeOurs({"Keyboard K120", "", 0x002540, true, true, "hid-generic"}));
}

struct Translation : testing::Test {
	Pending pending;
	wiimote_t wm{};
	// Feeds the core device's events; returns how many completed an event.
	int core(std::vector<input_event> evs)
	{
		int events = 0;
		for (const input_event &ev : evs)
			events += applyCoreEvent(pending, wm, ev);
		return events;
	}
	int camera(std::vector<input_event> evs)
	{
		int events = 0;
		for (const input_event &ev : evs)
			events += applyIrEvent(pending, wm, ev);
		return events;
	}
};

TEST_F(Translation, ButtonsAreDownHeldAndReleasedAcrossReports)
{
	EXPECT_EQ(core({key(BTN_A, 1), syn()}), 1);
	EXPECT_EQ(wm.btns, WIIMOTE_BUTTON_A);
	EXPECT_EQ(wm.btns_held, 0);

	EXPECT_EQ(core({key(KEY_UP, 1), key(KEY_NEXT, 1), syn()}), 1);
	EXPECT_EQ(wm.btns, WIIMOTE_BUTTON_A | WIIMOTE_BUTTON_UP | WIIMOTE_BUTTON_PLUS);
	EXPECT_EQ(wm.btns_held, WIIMOTE_BUTTON_A);

	EXPECT_EQ(core({key(BTN_A, 0), key(KEY_UP, 2), syn()}), 1);
	EXPECT_EQ(wm.btns, WIIMOTE_BUTTON_UP | WIIMOTE_BUTTON_PLUS);
	EXPECT_EQ(wm.btns_held, WIIMOTE_BUTTON_UP | WIIMOTE_BUTTON_PLUS);
	EXPECT_EQ(wm.btns_released, WIIMOTE_BUTTON_A);

	// A frame that changes nothing, or a key the remote does not have, is no event.
	EXPECT_EQ(core({syn(), key(KEY_ENTER, 1), syn()}), 0);
}

TEST_F(Translation, CameraSlotsCountsCursorAndDistance)
{
	EXPECT_EQ(camera(frame({{100, 200}, {400, 600}})), 1);
	EXPECT_EQ(wm.ir.num_dots, 2);
	EXPECT_TRUE(wm.ir.dot[0].visible && wm.ir.dot[1].visible);
	EXPECT_FALSE(wm.ir.dot[2].visible || wm.ir.dot[3].visible);
	// x mirrored, as wiiuse gives it: it grows as the remote turns right.
	EXPECT_EQ(wm.ir.dot[1].x, 623u);
	EXPECT_EQ(wm.ir.dot[1].y, 600u);
	EXPECT_EQ(wm.ir.x, 773);
	EXPECT_EQ(wm.ir.y, 400);
	EXPECT_FLOAT_EQ(wm.ir.z, 1023.0f - 500.0f);

	// The same view again is no event.
	EXPECT_EQ(camera(frame({{100, 200}, {400, 600}})), 0);

	// One source, in slot 2: numbered by its slot, distance unchanged.
	EXPECT_EQ(camera(frame({{-1, 0}, {-1, 0}, {30, 40}})), 1);
	EXPECT_EQ(wm.ir.num_dots, 1);
	EXPECT_FALSE(wm.ir.dot[0].visible);
	EXPECT_TRUE(wm.ir.dot[2].visible);
	EXPECT_EQ(wm.ir.x, 993);
	EXPECT_FLOAT_EQ(wm.ir.z, 523.0f);

	EXPECT_EQ(camera(frame({})), 1);
	EXPECT_EQ(wm.ir.num_dots, 0);
	EXPECT_EQ(wm.ir.x, 0);
	EXPECT_EQ(wm.ir.z, 0.0f);
}

TEST_F(Translation, ASlotIsEmptyByItsYAndTheKernelsValuesSeedTheCamera)
{
	// At the camera's edge the kernel smooths the leaving x to 1022 and
	// keeps it there; only y jumps to the empty 1023.
	camera(frame({{1021, 500}, {10, 20}}));
	EXPECT_EQ(camera({abs(ABS_HAT0Y, 1023), abs(ABS_HAT1X, 1023), abs(ABS_HAT1Y, 1023), syn()}), 1);
	EXPECT_EQ(wm.ir.num_dots, 0);

	// What the kernel holds when the node opens is seen at once, without an
	// event; a slot at (0, 0) has never reported.
	const int axes[8] = {400, 300, 600, 300, 0, 0, 1023, 1023};
	seedIr(pending, wm, axes);
	EXPECT_EQ(wm.ir.num_dots, 2);
	EXPECT_EQ(wm.ir.dot[1].x, 423u);
	EXPECT_FALSE(wm.ir.dot[2].visible);
	EXPECT_EQ(camera({syn()}), 0);
}

TEST_F(Translation, ACameraEventKeepsButtonsHeldSoTheyActOnce)
{
	core({key(KEY_UP, 1), syn()});
	ASSERT_EQ(wm.btns_held, 0);
	EXPECT_EQ(camera(frame({{1, 2}})), 1);
	EXPECT_EQ(wm.btns, WIIMOTE_BUTTON_UP);
	EXPECT_EQ(wm.btns_held, WIIMOTE_BUTTON_UP);
}

TEST_F(Translation, SwitchingTheCameraOffLeavesNoSources)
{
	camera(frame({{1, 2}, {3, 4}}));
	clearIr(pending, wm);
	EXPECT_EQ(wm.ir.num_dots, 0);
	EXPECT_FALSE(wm.ir.dot[0].visible || wm.ir.dot[1].visible);
	EXPECT_EQ(wm.ir.x, 0);
	EXPECT_EQ(wm.ir.z, 0.0f);
	// A half frame left over is not completed by the next one.
	camera({abs(ABS_HAT0X, 5), abs(ABS_HAT0Y, 5)});
	clearIr(pending, wm);
	EXPECT_EQ(camera({syn()}), 0);
}

// --- The API over a made-up system --------------------------------------

std::string scratch()
{
	char dir[] = "/tmp/wiiuse-test-XXXXXX";
	return mkdtemp(dir);
}

void writeFile(const std::string &path, const std::string &text)
{
	std::ofstream(path) << text << "\n";
}

std::string readFile(const std::string &path)
{
	std::ifstream in(path);
	std::string text;
	std::getline(in, text);
	return text;
}

struct Api : testing::Test {
	std::string root = scratch();
	std::vector<int> writers;

	void SetUp() override
	{
		forgetAll();
		useRoots(root + "/sys", root + "/dev");
		// A search never reaches this machine's Bluetooth.
		setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root + "/no-bus").c_str(), 1);
		std::system(("mkdir -p " + root + "/sys/bus/hid/drivers/wiimote " + root + "/sys/class/bluetooth/hci0 " +
		             root + "/dev/input")
		                .c_str());
	}
	void TearDown() override
	{
		forgetAll();
		for (int fd : writers)
			close(fd);
		std::system(("rm -rf " + root).c_str());
	}

	std::string dirOf(const std::string &id) { return root + "/sys/bus/hid/drivers/wiimote/" + id; }

	// A remote as the driver shows it; its nodes are FIFOs, kept open for
	// writing by the test. Returns the writer of the core node.
	int addRemote(const std::string &id, int event, const std::string &devtype = "gen20",
	              const std::string &uniq = "")
	{
		std::string dir = dirOf(id);
		std::string inputs = dir + "/input/input" + std::to_string(event);
		std::system(("mkdir -p " + inputs + "/event" + std::to_string(event) + " " + dir +
		             "/input/input" + std::to_string(event + 1) + "/event" +
		             std::to_string(event + 1) + " " + dir + "/power_supply/wiimote_battery_" +
		             id.substr(15))
		                .c_str());
		for (int i = 0; i < 4; ++i) {
			std::string led = dir + "/leds/" + id + ":blue:p" + std::to_string(i);
			std::system(("mkdir -p " + led).c_str());
			writeFile(led + "/brightness", "0");
		}
		writeFile(dir + "/devtype", devtype);
		writeFile(dir + "/extension", "none");
		writeFile(dir + "/power_supply/wiimote_battery_" + id.substr(15) + "/capacity", "75");
		writeFile(inputs + "/name", "Nintendo Wii Remote");
		// A name is the device's own word, and may hold a line break.
		writeFile(dir + "/uevent", "HID_NAME=Nintendo RVL-CNT-01\nHID_UNIQ=00:19:1d:00:00:01\nHID_UNIQ=" + uniq + "\n");
		writeFile(dir + "/input/input" + std::to_string(event + 1) + "/name", "Nintendo Wii Remote IR");
		int core = node(event);
		node(event + 1);
		return core;
	}
	int node(int event)
	{
		std::string path = root + "/dev/input/event" + std::to_string(event);
		mkfifo(path.c_str(), 0600);
		int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
		writers.push_back(fd);
		return fd;
	}
	static void send(int fd, const std::vector<input_event> &evs)
	{
		ASSERT_EQ(write(fd, evs.data(), evs.size() * sizeof evs[0]),
		          static_cast<ssize_t>(evs.size() * sizeof evs[0]));
	}
	// A group of one with a connected remote.
	wiimote_t **connected()
	{
		wiimote_t **g = wiiuse_init(1);
		EXPECT_EQ(wiiuse_find(g, 1, 0), 1);
		EXPECT_EQ(wiiuse_connect(g, 1), 1);
		return g;
	}
};

double secondsSince(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(Api, TheRuleIsFoundInEachDirectoryUdevReadsAndAnEarlierEmptyOneMasksIt)
{
	const std::string rule = "ENV{HID_ID}==\"0005:00000000:00000000\"";
	EXPECT_FALSE(bindsWithoutDeviceId(root + "/sys"));
	for (const char *dir : {"/lib", "/usr/lib", "/usr/local/lib", "/run", "/etc"}) {
		std::string rules = root + dir + "/udev/rules.d";
		std::system(("mkdir -p " + rules).c_str());
		writeFile(rules + "/70-hitcheck-wiimote.rules", rule);
		EXPECT_TRUE(bindsWithoutDeviceId(root + "/sys")) << dir;
		std::string mask = root + "/etc/udev/rules.d/70-hitcheck-wiimote.rules";
		std::system(("mkdir -p " + root + "/etc/udev/rules.d").c_str());
		writeFile(mask, "");
		EXPECT_FALSE(bindsWithoutDeviceId(root + "/sys")) << "an empty one in /etc masks " << dir << "'s";
		unlink(mask.c_str());
		unlink((rules + "/70-hitcheck-wiimote.rules").c_str());
	}
}

TEST_F(Api, RecordsAreNumberedAcrossGroupsAndStartEmpty)
{
	wiimote_t **player = wiiuse_init(1);
	wiimote_t **robot = wiiuse_init(1);
	EXPECT_EQ(player[0]->unid, 1);
	EXPECT_EQ(robot[0]->unid, 2);
	EXPECT_EQ(robot[0]->state, 0);
	EXPECT_EQ(robot[0]->event, WIIUSE_NONE);
	EXPECT_EQ(robot[0]->leds, 0);
}

TEST_F(Api, FindTakesProbedRemotesOnceTheFirstConnectedFirst)
{
	// A Wii Remote Plus connected first, an original one second.
	addRemote("0005:057E:0306.000B", 7);
	addRemote("0005:057E:0330.000A", 3);
	addRemote("0005:057E:0306.0002", 5, "pending");
	wiimote_t **player = wiiuse_init(1);
	wiimote_t **robot = wiiuse_init(1);
	wiimote_t **third = wiiuse_init(1);
	auto start = Clock::now();
	EXPECT_EQ(wiiuse_find(player, 1, 10), 1);
	EXPECT_EQ(wiiuse_find(robot, 1, 10), 1);
	EXPECT_LT(secondsSince(start), 1.0) << "remotes already there must not be searched for";
	EXPECT_EQ(wiiuse_find(third, 1, 0), 0);

	EXPECT_EQ(wiiuse_connect(player, 1), 1);
	EXPECT_EQ(wiiuse_connect(robot, 1), 1);
	EXPECT_EQ(wiiuse_connect(third, 1), 0);
	// The player's is the one connected first: its LEDs are the ones of .000A.
	wiiuse_set_leds(player[0], WIIMOTE_LED_1);
	wiiuse_set_leds(robot[0], WIIMOTE_LED_2);
	std::string p = dirOf("0005:057E:0330.000A") + "/leds/0005:057E:0330.000A:blue:p";
	std::string r = dirOf("0005:057E:0306.000B") + "/leds/0005:057E:0306.000B:blue:p";
	EXPECT_EQ(readFile(p + "0/brightness") + readFile(p + "1/brightness") +
	              readFile(p + "2/brightness") + readFile(p + "3/brightness"),
	          "1000");
	EXPECT_EQ(readFile(r + "0/brightness") + readFile(r + "1/brightness") +
	              readFile(r + "2/brightness") + readFile(r + "3/brightness"),
	          "0100");
	EXPECT_EQ(player[0]->leds, WIIMOTE_LED_1);
}

TEST_F(Api, FindWaitsForARemoteThatConnectsDuringTheSearch)
{
	wiimote_t **g = wiiuse_init(1);
	std::thread later([this] {
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		addRemote("0005:057E:0306.0004", 3);
	});
	auto start = Clock::now();
	EXPECT_EQ(wiiuse_find(g, 1, 5), 1);
	EXPECT_LT(secondsSince(start), 3.0);
	later.join();
}

TEST_F(Api, ConnectReadsTheExtensionAndSaysWhichNodeFailed)
{
	addRemote("0005:057E:0306.0001", 3);
	writeFile(dirOf("0005:057E:0306.0001") + "/extension", "nunchuk");
	wiimote_t **g = connected();
	EXPECT_EQ(g[0]->state & 0x08, 0x08);
	EXPECT_EQ(g[0]->exp.type, EXP_NUNCHUK);

	// A node refused is tried again until the search ends, holding back
	// the remote connected after it; then it is taken, and says why.
	forgetAll();
	unlink((root + "/dev/input/event3").c_str());
	addRemote("0005:057E:0306.0002", 5);
	wiimote_t **lost = wiiuse_init(1);
	auto start = Clock::now();
	ASSERT_EQ(wiiuse_find(lost, 1, 1), 1);
	EXPECT_GE(secondsSince(start), 0.9);
	testing::internal::CaptureStderr();
	EXPECT_EQ(wiiuse_connect(lost, 1), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "impossibile aprire " + root +
	              "/dev/input/event3: No such file or directory (il wiimote non risponde)\n");
	EXPECT_EQ(lost[0]->state & 0x08, 0);
}

TEST_F(Api, PollReportsButtonsAsTheyCome)
{
	int core = addRemote("0005:057E:0306.0001", 3);
	wiimote_t **g = connected();
	send(core, {key(BTN_A, 1), syn(), key(BTN_A, 0), syn()});
	// A press and its release are two events: the press is not lost.
	EXPECT_EQ(wiiuse_poll(g, 1), 1);
	EXPECT_EQ(g[0]->event, WIIUSE_EVENT);
	EXPECT_EQ(g[0]->btns, WIIMOTE_BUTTON_A);
	EXPECT_EQ(wiiuse_poll(g, 1), 1);
	EXPECT_EQ(g[0]->btns, 0);
	EXPECT_EQ(g[0]->btns_released, WIIMOTE_BUTTON_A);
	EXPECT_EQ(wiiuse_poll(g, 1), 0);
	EXPECT_EQ(g[0]->event, WIIUSE_NONE);
}

TEST_F(Api, InfraredFollowsTheSwitchAndLeavesNoSourcesWhenOff)
{
	addRemote("0005:057E:0306.0001", 3);
	int ir = writers.back();
	wiimote_t **g = connected();
	wiiuse_set_ir(g[0], 1);
	EXPECT_EQ(g[0]->state & 0x80, 0x80);
	send(ir, frame({{10, 20}, {30, 40}}));
	EXPECT_EQ(wiiuse_poll(g, 1), 1);
	EXPECT_EQ(g[0]->ir.num_dots, 2);

	wiiuse_set_ir(g[0], 0);
	EXPECT_EQ(g[0]->state & 0x80, 0);
	EXPECT_EQ(g[0]->ir.num_dots, 0);
	EXPECT_FALSE(g[0]->ir.dot[0].visible);
	// Frames of a switched-off camera are not read.
	send(ir, frame({{50, 60}, {70, 80}}));
	EXPECT_EQ(wiiuse_poll(g, 1), 0);
	EXPECT_EQ(g[0]->ir.num_dots, 0);
}

TEST_F(Api, AnExtensionChangeIsAStatusEventAndARemovedRemoteDisconnectsThenComesBackToItsSlot)
{
	int core = addRemote("0005:057E:0306.0001", 3, "gen20", "00:19:1d:00:00:02");
	wiimote_t **g = connected();
	wiiuse_set_leds(g[0], WIIMOTE_LED_2);
	std::string dir = dirOf("0005:057E:0306.0001");
	writeFile(dir + "/extension", "classic");
	auto start = Clock::now();
	while (wiiuse_poll(g, 1) == 0 && secondsSince(start) < 5) {
	}
	EXPECT_EQ(g[0]->event, WIIUSE_STATUS);
	EXPECT_EQ(g[0]->exp.type, EXP_CLASSIC);

	// A is held as the remote goes; its release never comes.
	send(core, {key(BTN_A, 1), syn()});
	EXPECT_EQ(wiiuse_poll(g, 1), 1);
	std::system(("rm -rf " + dir).c_str());
	start = Clock::now();
	testing::internal::CaptureStderr();
	while (wiiuse_poll(g, 1) == 0 && secondsSince(start) < 5) {
	}
	EXPECT_EQ(g[0]->state & 0x08, 0);
	EXPECT_EQ(wiiuse_poll(g, 1), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "il wiimote 00:19:1d:00:00:02 si è scollegato: spento, "
	                                                  "batterie tolte o esaurite, o fuori portata\n");

	// Another remote binds, then the same one again: only it is taken back,
	// lit as it was, with a status event.
	addRemote("0005:057E:0306.0002", 5, "gen20", "00:19:1d:00:00:09");
	core = addRemote("0005:057E:0306.0003", 7, "gen20", "00:19:1d:00:00:02");
	start = Clock::now();
	while (wiiuse_poll(g, 1) == 0 && secondsSince(start) < 5) {
	}
	EXPECT_EQ(g[0]->event, WIIUSE_STATUS);
	EXPECT_EQ(g[0]->state & 0x08, 0x08);
	std::string back = dirOf("0005:057E:0306.0003") + "/leds/0005:057E:0306.0003:blue:p";
	std::string other = dirOf("0005:057E:0306.0002") + "/leds/0005:057E:0306.0002:blue:p";
	EXPECT_EQ(readFile(back + "0/brightness") + readFile(back + "1/brightness"), "01");
	EXPECT_EQ(readFile(other + "0/brightness") + readFile(other + "1/brightness"), "00");
	// Nothing is held from before the loss: the first UP is just pressed.
	EXPECT_EQ(g[0]->btns, 0);
	send(core, {key(KEY_UP, 1), syn()});
	EXPECT_EQ(wiiuse_poll(g, 1), 1);
	EXPECT_EQ(g[0]->btns, WIIMOTE_BUTTON_UP);
	EXPECT_EQ(g[0]->btns_held, 0);
}

TEST_F(Api, ASlotItsSearchLeftEmptyTakesTheNextRemoteBoundAndNoSecond)
{
	addRemote("0005:057E:0306.0001", 3, "gen20", "00:19:1d:00:00:01");
	wiimote_t **player = connected();
	wiimote_t **robot = wiiuse_init(1);
	EXPECT_EQ(wiiuse_find(robot, 1, 0), 0);
	EXPECT_EQ(wiiuse_connect(robot, 1), 0);
	wiiuse_set_leds(robot[0], WIIMOTE_LED_2);
	int core = addRemote("0005:057E:0306.0002", 5, "gen20", "00:19:1d:00:00:02");
	auto start = Clock::now();
	while (wiiuse_poll(robot, 1) == 0 && secondsSince(start) < 5) {
	}
	EXPECT_EQ(robot[0]->event, WIIUSE_STATUS);
	EXPECT_EQ(robot[0]->state & 0x08, 0x08);
	EXPECT_EQ(readFile(dirOf("0005:057E:0306.0002") + "/leds/0005:057E:0306.0002:blue:p1/brightness"), "1");
	send(core, {key(BTN_B, 1), syn()});
	start = Clock::now();
	while (wiiuse_poll(robot, 1) == 0 && secondsSince(start) < 1) {
	}
	EXPECT_EQ(robot[0]->btns, WIIMOTE_BUTTON_B);
	// A third is left alone.
	addRemote("0005:057E:0306.0003", 7, "gen20", "00:19:1d:00:00:03");
	start = Clock::now();
	while (secondsSince(start) < 1.5) {
		EXPECT_EQ(wiiuse_poll(robot, 1), 0);
		EXPECT_EQ(wiiuse_poll(player, 1), 0);
	}
	EXPECT_EQ(readFile(dirOf("0005:057E:0306.0003") + "/leds/0005:057E:0306.0003:blue:p1/brightness"), "0");
}

// Standard error as `fd` during a search of `seconds` with no remote;
// what reached it.
std::string searchLine(int fd, int reader, int seconds)
{
	int saved = dup(2);
	dup2(fd, 2);
	wiiuse_find(wiiuse_init(1), 1, seconds);
	dup2(saved, 2);
	close(saved);
	std::string text;
	char buf[4096];
	fcntl(reader, F_SETFL, O_NONBLOCK);
	for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
		text.append(buf, static_cast<size_t>(n));
	return text;
}

TEST_F(Api, TheSearchCountsDownOnATerminalOnlyWhereItFitsAndErasesItsLine)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
	int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
	winsize ws{};
	ws.ws_col = 100;
	ioctl(slave, TIOCSWINSZ, &ws);
	setenv("TERM", "xterm", 1);
	// No Bluetooth adapter on the machine: said once, and nothing to press
	// for (in a process of its own: it is said once in the process).
	std::system(("rm -rf " + root + "/sys/class/bluetooth").c_str());
	pid_t bare = fork();
	if (bare == 0)
		_exit(searchLine(slave, master, 1) + searchLine(slave, master, 1) ==
		              "Bluetooth non disponibile per la ricerca: nessun adattatore Bluetooth su questa macchina: "
		              "collegane uno e avvia di nuovo hitcheck\r\n"
		          ? 0
		          : 1);
	int said = -1;
	waitpid(bare, &said, 0);
	EXPECT_EQ(said, 0) << "no adapter: said once, and no countdown";
	std::system(("mkdir -p " + root + "/sys/class/bluetooth/hci0").c_str());
	// A system bus that never answers: BlueZ may still help, so the
	// operator is asked to press; with no bus at all there is nothing to
	// press for.
	EXPECT_EQ(searchLine(slave, master, 1), "Bluetooth non disponibile per la ricerca: impossibile raggiungere "
	                                        "il bus di sistema: No such file or directory\r\n");
	int bus = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/no-bus", root.c_str());
	ASSERT_EQ(bind(bus, reinterpret_cast<sockaddr *>(&addr), sizeof addr) | listen(bus, 8), 0);
	std::string shown = searchLine(slave, master, 2);
	const std::string line = "premi SYNC (sotto le batterie) o, se già associato, un tasto: ancora ";
	EXPECT_NE(shown.find("\r" + line + "2 s\033[K\r" + line + "1 s\033[K"), std::string::npos) << shown;
	EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K");

	// A signal that ends the program during the search erases it first.
	pid_t child = fork();
	if (child == 0) {
		searchLine(slave, master, 5);
		_exit(0);
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	kill(child, SIGINT);
	int status = 0;
	waitpid(child, &status, 0);
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
	shown.clear();
	char buf[4096];
	fcntl(master, F_SETFL, O_NONBLOCK);
	for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
		shown.append(buf, static_cast<size_t>(n));
	EXPECT_NE(shown.find(line), std::string::npos);
	EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K");

	// Not drawn where it would wrap, nor on a terminal that cannot redraw.
	ws.ws_col = 60;
	ioctl(slave, TIOCSWINSZ, &ws);
	EXPECT_EQ(searchLine(slave, master, 1), "");
	ws.ws_col = 100;
	ioctl(slave, TIOCSWINSZ, &ws);
	setenv("TERM", "dumb", 1);
	EXPECT_EQ(searchLine(slave, master, 1), "");
	close(slave);
	close(master);
	close(bus);

	int p[2];
	ASSERT_EQ(pipe(p), 0);
	setenv("TERM", "xterm", 1);
	EXPECT_EQ(searchLine(p[1], p[0], 1).find('\r'), std::string::npos);
	close(p[0]);
	close(p[1]);
}

TEST_F(Api, HitcheckStartedWithItsOutputClosedWritesNoLineIntoARemotesNode)
{
	addRemote("0005:057E:0306.0001", 3, "gen20", "00:19:1d:00:00:01");
	Child c;
	spawn(c, HITCHECK_ON_TREE, {"HITCHECK_TEST_ROOT=" + root}, [] { return close(STDOUT_FILENO) == 0; });
	auto target = [&](int fd) {
		char to[4096];
		ssize_t n = readlink(("/proc/" + std::to_string(c.pid) + "/fd/" + std::to_string(fd)).c_str(), to, sizeof to);
		return std::string(to, n > 0 ? static_cast<size_t>(n) : 0);
	};
	// Its remote taken: the core node is open, at a number of its own.
	bool taken = false;
	for (int i = 0; i < 100 && !taken; ++i) {
		readUntil(c, [](const std::string &) { return false; }, milliseconds(50));
		for (int fd = 3; fd < 64 && !taken; ++fd)
			taken = target(fd) == root + "/dev/input/event3";
	}
	EXPECT_TRUE(taken);
	EXPECT_EQ(target(STDOUT_FILENO), "/dev/null");
	stop(c, SIGKILL);
}

struct Waiting : Api {
	wiimote_t **player = nullptr, **robot = nullptr;
	int playerCore = -1, robotCore = -1;
	void SetUp() override
	{
		Api::SetUp();
		playerCore = addRemote("0005:057E:0306.0001", 3);
		robotCore = addRemote("0005:057E:0306.0002", 5);
		player = connected();
		robot = connected();
	}
};

TEST_F(Waiting, InputForTheOtherGroupEndsThePollAtOnce)
{
	send(robotCore, {key(BTN_B, 1), syn()});
	auto start = Clock::now();
	EXPECT_EQ(wiiuse_poll(player, 1), 0);
	// Well under the 100 ms a quiet poll waits.
	EXPECT_LT(secondsSince(start), 0.09);
	EXPECT_EQ(wiiuse_poll(robot, 1), 1);
	EXPECT_EQ(robot[0]->btns, WIIMOTE_BUTTON_B);
}

TEST_F(Waiting, InputArrivingDuringTheWaitIsReturnedByThatPoll)
{
	std::thread later([this] {
		std::this_thread::sleep_for(std::chrono::milliseconds(30));
		send(playerCore, {key(BTN_1, 1), syn()});
	});
	auto start = Clock::now();
	EXPECT_EQ(wiiuse_poll(player, 1), 1);
	EXPECT_LT(secondsSince(start), 0.5);
	EXPECT_EQ(player[0]->btns, WIIMOTE_BUTTON_ONE);
	later.join();
}

TEST_F(Waiting, QuietRemotesAreWaitedOnBoundedAndWithoutSpinning)
{
	auto start = Clock::now();
	EXPECT_EQ(wiiuse_poll(player, 1), 0);
	double one = secondsSince(start);
	// Until the first remote's own work is due: its extension looked at.
	EXPECT_GE(one, 0.09);
	EXPECT_LT(one, 1.5);

	rusage before, after;
	getrusage(RUSAGE_SELF, &before);
	start = Clock::now();
	int polls = 0;
	while (secondsSince(start) < 1.0) {
		wiiuse_poll(player, 1);
		wiiuse_poll(robot, 1);
		polls += 2;
	}
	getrusage(RUSAGE_SELF, &after);
	double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
	             (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
	             (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
	             (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
	EXPECT_LE(polls, 30);
	EXPECT_LT(cpu, 0.25) << "one second of quiet polling took " << cpu << " s of CPU";
}

// --- Time driven by the test ---------------------------------------------

double since(Time start)
{
	return std::chrono::duration<double>(sim->t - start).count();
}

// Two connected remotes, each with a pseudo-terminal standing in for its
// raw HID node, so that requests and answers travel apart, answered as the
// test says.
struct Timed : Api {
	Sim clock;
	wiimote_t **player = nullptr, **robot = nullptr;
	int playerCore = -1, robotCore = -1, playerIr = -1, robotIr = -1;
	int playerRaw = -1, robotRaw = -1;
	std::map<int, Ms> late;         // each raw node's answers come this late; absent: silent
	std::map<int, std::string> asked; // what each raw node was sent
	std::map<int, Time> answeredAt; // its last answer
	char battery = char(0xC0);       // the battery byte its status reports carry

	void SetUp() override
	{
		Api::SetUp();
		sim = &clock;
		useClock({simNow, simWait});
		playerCore = addRemote("0005:057E:0306.0001", 3, "gen20", "00:19:1d:00:00:01");
		playerIr = writers.back();
		playerRaw = rawNode("0005:057E:0306.0001", 0);
		robotCore = addRemote("0005:057E:0306.0002", 5, "gen20", "00:19:1d:00:00:02");
		robotIr = writers.back();
		robotRaw = rawNode("0005:057E:0306.0002", 1);
		late[playerRaw] = late[robotRaw] = Ms(20);
		clock.watchers.push_back([this] { answer(); });
		player = connected();
		robot = connected();
	}
	void TearDown() override
	{
		useClock(realClock());
		Api::TearDown();
	}
	// The pseudo-terminal's other side, raw, where the library's node is.
	int rawNode(const std::string &id, int n)
	{
		int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
		EXPECT_EQ(grantpt(master) | unlockpt(master), 0);
		int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
		termios tio{};
		tcgetattr(slave, &tio);
		cfmakeraw(&tio);
		tcsetattr(slave, TCSANOW, &tio);
		std::string name = "hidraw" + std::to_string(n);
		std::system(("mkdir -p " + dirOf(id) + "/hidraw/" + name).c_str());
		EXPECT_EQ(symlink(ptsname(master), (root + "/dev/" + name).c_str()), 0);
		writers.push_back(slave);
		writers.push_back(master);
		return master;
	}
	// Each request read is answered with a status report, as late as set.
	void answer()
	{
		for (int raw : {playerRaw, robotRaw}) {
			char buf[256];
			ssize_t n = read(raw, buf, sizeof buf);
			if (n <= 0)
				continue;
			asked[raw].append(buf, static_cast<size_t>(n));
			auto it = late.find(raw);
			for (ssize_t i = 0; it != late.end() && i < n; i += 2)
				clock.at(clock.t + it->second, [this, raw] {
					const char status[] = {0x20, 0, 0, 0, 0, 0, battery};
					if (late.count(raw) && write(raw, status, sizeof status) == sizeof status)
						answeredAt[raw] = clock.t;
				});
		}
	}
	// One pass of hitcheck's loop; the group that had an event, or none.
	wiimote_t **pass()
	{
		if (wiiuse_poll(player, 1))
			return player;
		return wiiuse_poll(robot, 1) ? robot : nullptr;
	}
	// Passes until `done`, for `seconds` of the clock at the most.
	bool until(std::function<bool(wiimote_t **)> done, double seconds)
	{
		Time end = clock.t + Ms(static_cast<long>(seconds * 1000));
		while (clock.t < end) {
			wiimote_t **g = pass();
			clock.runDue();
			if (done(g))
				return true;
		}
		return false;
	}
	bool connectedNow(wiimote_t **g) { return g[0]->state & 0x08; }
	// The camera switched on and its set-up done (a worker's, in real
	// time): a first frame has been read.
	void cameraOn(wiimote_t **g, int ir)
	{
		wiiuse_set_ir(g[0], 1);
		send(ir, frame({{1, 1}}));
		EXPECT_TRUE(until([&](wiimote_t **got) {
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
			return got == g && g[0]->ir.num_dots == 1;
		}, 60));
	}
};

TEST_F(Timed, ThePlayersPressComesFirstWhateverTheRobotQueuesOrStreams)
{
	for (int i = 0; i < 150; ++i)
		send(robotCore, {key(BTN_B, 1), syn(), key(BTN_B, 0), syn()});
	send(playerCore, {key(BTN_A, 1), syn()});
	int robotEvents = 0;
	EXPECT_TRUE(until([&](wiimote_t **g) {
		robotEvents += g == robot;
		return g == player;
	}, 1));
	EXPECT_LE(robotEvents, 1) << "the player's press waited behind the robot's queue";
	EXPECT_EQ(player[0]->btns, WIIMOTE_BUTTON_A);

	// The robot's camera streams 100 frames a second, and each of its
	// reports takes 15 ms to print: the player's presses are returned by
	// the next poll of the player's, and the robot's queue is still read.
	cameraOn(robot, robotIr);
	for (int i = 0; i < 250; ++i)
		clock.at(clock.t + Ms(10 * i), [this, i] { send(robotIr, frame({{i, 100}})); });
	int presses = 0;
	double worst = 0;
	Time pressed;
	for (int i = 0; i < 8; ++i)
		clock.at(clock.t + Ms(300 + 250 * i), [&, i] {
			send(playerCore, {key(BTN_A, i % 2 ? 1 : 0), syn()});
			pressed = clock.t;
		});
	robotEvents = 0;
	until([&](wiimote_t **g) {
		if (g == robot) {
			++robotEvents;
			clock.t += Ms(15);
		} else if (g == player) {
			++presses;
			worst = std::max(worst, since(pressed));
		}
		return presses == 8;
	}, 5);
	EXPECT_EQ(presses, 8);
	EXPECT_LT(worst, 0.05) << "a press of the player's waited " << worst << " s";
	EXPECT_GT(robotEvents, 100);
}

// How many descriptors the process has open, or threads it runs.
size_t openDescriptors(const char *dir = "/proc/self/fd")
{
	size_t n = 0;
	for (DIR *d = opendir(dir); d; closedir(d), d = nullptr)
		while (readdir(d))
			++n;
	return n;
}

TEST_F(Timed, TheCameraIsSetUpAndTheBatteryReadWhileBothRemotesKeepReporting)
{
	// The battery is the last status report's: raw 192 of a full 200.
	EXPECT_EQ(player[0]->battery_level, 96.0f);
	// Answers 900 ms late, and fresh batteries: a status event comes at
	// once with what the remote last said, and the next with what it says.
	late[playerRaw] = Ms(900);
	battery = char(200);
	until([](wiimote_t **) { return false; }, 3);
	writeFile(dirOf("0005:057E:0306.0001") + "/extension", "nunchuk");
	Time changed = clock.t;
	EXPECT_TRUE(until([&](wiimote_t **g) { return g == player && player[0]->event == WIIUSE_STATUS; }, 2));
	EXPECT_LE(since(changed), 1.1);
	EXPECT_EQ(player[0]->battery_level, 100.0f);

	// The player's camera acknowledges its set-up 900 ms late (its node's
	// open waits until then): the record says it is on at once, and both
	// remotes' presses come meanwhile.
	size_t before = openDescriptors();
	std::string irPath = root + "/dev/input/event4";
	close(playerIr);
	writers.erase(std::find(writers.begin(), writers.end(), playerIr));
	wiiuse_set_ir(player[0], 1);
	EXPECT_EQ(player[0]->state & 0x80, 0x80);
	clock.at(clock.t + Ms(900), [&] {
		playerIr = open(irPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
		writers.push_back(playerIr);
		std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the set-up's end reaches the loop
	});
	Time asked = clock.t;
	send(robotCore, {key(BTN_B, 1), syn()});
	EXPECT_TRUE(until([&](wiimote_t **g) { return g == robot; }, 0.1));
	send(playerCore, {key(BTN_A, 1), syn()});
	EXPECT_TRUE(until([&](wiimote_t **g) { return g == player && (player[0]->btns & WIIMOTE_BUTTON_A); }, 0.1));
	EXPECT_LT(since(asked), 0.2);
	// The test's clock runs ahead of the worker's real time: each pass
	// waits a little for it, and what waits for the worker is bounded by
	// passes rather than by the test's clock.
	auto settle = [](wiimote_t **) {
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
		return false;
	};
	EXPECT_TRUE(until([&](wiimote_t **) { return clock.t >= asked + Ms(950); }, 2));
	send(playerIr, frame({{10, 20}, {30, 40}}));
	EXPECT_TRUE(until([&](wiimote_t **g) { return !settle(g) && g == player && player[0]->ir.num_dots == 2; }, 60));

	// The robot's set-up fails: said, and tried again 0.2 s later,
	// which takes; failing three times, the camera is off, as said.
	std::string robotIrPath = root + "/dev/input/event6";
	unlink(robotIrPath.c_str());
	testing::internal::CaptureStderr();
	wiiuse_set_ir(robot[0], 1);
	std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the worker's open has failed
	node(6);
	send(writers.back(), frame({{50, 60}}));
	EXPECT_TRUE(until([&](wiimote_t **g) { return !settle(g) && g == robot && robot[0]->ir.num_dots == 1; }, 60));
	wiiuse_set_ir(robot[0], 0);
	unlink(robotIrPath.c_str());
	wiiuse_set_ir(robot[0], 1);
	EXPECT_TRUE(until([&](wiimote_t **g) { return !settle(g) && !(robot[0]->state & 0x80); }, 600));
	const std::string failed = "telecamera del wiimote 00:19:1d:00:00:02 non accesa (" + robotIrPath +
	                           ": No such file or directory (il wiimote non risponde)), tentativo ";
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          failed + "1 di 3: si riprova tra 0,2 s\n" + failed + "1 di 3: si riprova tra 0,2 s\n" + failed +
	              "2 di 3: si riprova tra 0,2 s\n" + failed + "3 di 3: resta spenta\n");

	// One that never acknowledges: switched off meanwhile, what its open
	// gives at last is closed, and nothing is left behind.
	wiiuse_set_ir(player[0], 0);
	close(playerIr);
	writers.erase(std::find(writers.begin(), writers.end(), playerIr));
	wiiuse_set_ir(player[0], 1);
	// UP and DOWN pressed again and again meanwhile wait for the same set-up.
	size_t workers = openDescriptors("/proc/self/task");
	for (int i = 0; i < 5; ++i) {
		wiiuse_set_ir(player[0], 0);
		wiiuse_set_ir(player[0], 1);
	}
	EXPECT_EQ(openDescriptors("/proc/self/task"), workers);
	send(robotCore, {key(BTN_B, 0), syn()});
	EXPECT_TRUE(until([&](wiimote_t **g) { return g == robot; }, 0.1));
	wiiuse_set_ir(player[0], 0);
	int late = open(irPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	until(settle, 0.1);
	close(late);
	EXPECT_EQ(openDescriptors(), before) << "the player's camera node, or a worker's, was left open";
}

TEST_F(Timed, AnswersUpToTwoSecondsLateKeepARemoteSilenceEndsItWithinThreeSeconds)
{
	// Rumbling asked for, and refused by the node: the requests leave the
	// motor as the driver has it, off.
	wiiuse_rumble(player[0], 1);
	for (Ms lateness : {Ms(300), Ms(900), Ms(1900)}) {
		late[playerRaw] = late[robotRaw] = lateness;
		EXPECT_FALSE(until([&](wiimote_t **) { return !connectedNow(player) || !connectedNow(robot); }, 60))
			<< "answers " << lateness.count() << " ms late";
	}
	EXPECT_EQ(asked[playerRaw].substr(0, 4), std::string("\x15\x00\x15\x00", 4));
	EXPECT_EQ(asked[playerRaw].find('\x01'), std::string::npos);
	// A quiet remote is asked about once a second: the process sleeps.
	late[playerRaw] = late[robotRaw] = Ms(20);
	size_t before = asked[playerRaw].size();
	int waits = clock.waits;
	until([](wiimote_t **) { return false; }, 60);
	EXPECT_LE((asked[playerRaw].size() - before) / 2, 80u);
	EXPECT_LE(clock.waits - waits, 4 * 60) << "woken more than twice a second for each remote";

	// The player's falls silent: lost within 3 s of its last answer, and
	// said, once.
	late.erase(playerRaw);
	testing::internal::CaptureStderr();
	EXPECT_TRUE(until([&](wiimote_t **) { return !connectedNow(player); }, 5));
	EXPECT_LE(since(answeredAt[playerRaw]), 3.0);
	EXPECT_GE(since(answeredAt[playerRaw]), 2.0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "il wiimote 00:19:1d:00:00:01 non risponde più: batterie "
	                                                  "scariche o fuori portata; torna a giocare appena risponde\n");
}

TEST_F(Timed, ASilentRobotComesBackWhileThePlayersCameraStreams)
{
	cameraOn(player, playerIr);
	for (int i = 0; i < 1000; ++i)
		clock.at(clock.t + Ms(10 * i), [this, i] { send(playerIr, frame({{i % 500, 100}, {600, 100}})); });
	late.erase(robotRaw);
	EXPECT_TRUE(until([&](wiimote_t **) { return !connectedNow(robot); }, 4));
	EXPECT_EQ(robot[0]->event, WIIUSE_UNEXPECTED_DISCONNECT);
	until([](wiimote_t **) { return false; }, 2);
	late[robotRaw] = Ms(20);
	send(robotRaw, std::vector<input_event>{}); // nothing yet: it speaks with its next answer
	Time spoke = clock.t;
	EXPECT_TRUE(until([&](wiimote_t **g) { return g == robot && robot[0]->event == WIIUSE_STATUS; }, 2));
	EXPECT_LT(since(spoke), 1.5);
	EXPECT_TRUE(connectedNow(robot));
	EXPECT_TRUE(connectedNow(player));
}

TEST_F(Timed, TheSearchPassesOverABoundRemoteThatIsSilentAndTakesItWhenItSpeaks)
{
	forgetAll();
	late.erase(playerRaw);
	wiimote_t **first = wiiuse_init(1), **second = wiiuse_init(1);
	Time start = clock.t;
	ASSERT_EQ(wiiuse_find(first, 1, 5), 1);
	EXPECT_LT(since(start), 3.0);
	EXPECT_EQ(wiiuse_connect(first, 1), 1);
	wiiuse_set_leds(first[0], WIIMOTE_LED_1);
	std::string leds = dirOf("0005:057E:0306.0002") + "/leds/0005:057E:0306.0002:blue:p0/brightness";
	EXPECT_EQ(readFile(leds), "1") << "the silent remote was taken";
	// Its answer comes 1.9 s after the search begins: it is waited for.
	late[playerRaw] = Ms(1900);
	EXPECT_EQ(wiiuse_find(second, 1, 0), 1);
	EXPECT_EQ(wiiuse_connect(second, 1), 1);
}

TEST_F(Timed, ARemoteBoundDuringTheSearchIsTakenAsItAnswersNotAtTheNextLook)
{
	forgetAll();
	// The robot's remote binds 0.3 s into a search for two, which has
	// turned to Bluetooth for it; asked as it is seen, it answers 20 ms
	// later, and that answer ends the wait (the next look is at 0.4 s).
	std::string robotDir = dirOf("0005:057E:0306.0002"), away = root + "/unbound";
	ASSERT_EQ(rename(robotDir.c_str(), away.c_str()), 0);
	clock.at(clock.t + Ms(300), [&] { rename(away.c_str(), robotDir.c_str()); });
	static SimBluetooth *air;
	auto simulated = std::make_unique<SimBluetooth>(clock);
	air = simulated.get();
	BluetoothPorts before = bluetooth();
	useBluetooth({[](std::string &) { return air->bus(); }, [] { return air->hci(); }});
	wiimote_t **both = wiiuse_init(2);
	Time start = clock.t;
	testing::internal::CaptureStderr();
	EXPECT_EQ(wiiuse_find(both, 2, 5), 2);
	testing::internal::GetCapturedStderr();
	EXPECT_LE(since(start), 0.35);
	EXPECT_GT(air->count("StartDiscovery") + air->count("inquiry"), 0) << "Bluetooth never searched";
	useBluetooth(before);
	clock.watchers.pop_back();
}

TEST_F(Timed, AVacantSlotTakesTheRemoteThatAnswersNotASilentOneBoundBeforeIt)
{
	forgetAll();
	late.erase(playerRaw);
	late.erase(robotRaw);
	wiimote_t **g = wiiuse_init(1);
	EXPECT_EQ(wiiuse_find(g, 1, 0), 0);
	EXPECT_EQ(wiiuse_connect(g, 1), 0);
	// The first bound stays silent; the second speaks.
	late[robotRaw] = Ms(20);
	Time spoke = clock.t;
	bool back = false;
	while (!back && since(spoke) < 10) {
		back = wiiuse_poll(g, 1) && g[0]->event == WIIUSE_STATUS;
		clock.runDue();
	}
	EXPECT_TRUE(back);
	EXPECT_LT(since(spoke), 5.0) << "held by the silent remote";
	EXPECT_TRUE(connectedNow(g));
}

} // namespace
