// A Wii Remote made of software: a uhid device that the kernel's hid-wiimote
// driver binds to as if it came over Bluetooth. It answers the driver's
// requests, and records what the driver asked of it.
#ifndef TESTS_VIRTUAL_REMOTE_H
#define TESTS_VIRTUAL_REMOTE_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;

struct VirtualRemote {
	std::string uniq;
	int fd = -1; // uhid
	// Over Bluetooth instead: L2CAP listeners and connections, control
	// (PSM 0x11) then interrupt (PSM 0x13).
	int listening[2] = {-1, -1};
	int channel[2] = {-1, -1};
	int hci = -1; // its controller
	std::thread reader;
	// A real remote answers the driver's requests over the air, after a few
	// to tens of milliseconds, and sends at most 100 reports a second.
	std::chrono::milliseconds answerDelay{20};
	std::chrono::milliseconds statusLate{0}; // status requests answered this late instead
	// The camera's set-up requests acknowledged this late instead (-1: never).
	std::chrono::milliseconds cameraLate{0};
	std::vector<std::thread> lateAnswers;    // under `lock`
	std::mutex sending;
	Clock::time_point lastReport;

	// What the driver asked, under `lock`.
	std::mutex lock;
	int leds = -1;    // last LED mask (0x10-0x80), -1 before any
	bool rumble = false;
	std::vector<std::pair<Clock::time_point, bool>> rumbles; // each change
	bool camera = false; // infrared camera enabled
	uint8_t mode = 0x30; // the reports the driver asked for: 0x33 and on carry the camera
	int cameraSwitches = 0;
	uint16_t buttons = 0; // down now, as wiiuse masks
	bool gone = false;
	bool silent = false; // neither sends nor answers, its device still bound

	VirtualRemote() = default;
	VirtualRemote(const VirtualRemote &) = delete;
	VirtualRemote &operator=(const VirtualRemote &) = delete;
	~VirtualRemote();
};

// Creates the device; false (with a reason in `why`) when uhid refuses.
bool createRemote(VirtualRemote &r, const std::string &uniq, std::string &why);

// The same remote as the device side of Bluetooth HID on controller hciN:
// listens on L2CAP PSM 0x11 and 0x13 of that controller's address (its uniq)
// and speaks the same reports there (0xA1 input, 0xA2 output).
bool createAirRemote(VirtualRemote &r, int hci, std::string &why);

// Binds the HID channels on controller hciN for a remote made there later,
// before bluetoothd takes them for its own input server.
void holdAirChannels(int hci);

// An L2CAP connection from controller hci`from` to hci`to`'s `psm`; its
// socket, or -1 with the reason in `why`.
int connectL2cap(int from, int to, uint16_t psm, std::string &why);

// A remote paired before, at a button press: it pages the host (hci`host`)
// from its own controller and opens PSM 0x11 and 0x13 itself.
bool connectAir(VirtualRemote &r, int host, std::string &why);

// The sysfs directory of the remote's HID device once the driver has
// finished probing it; empty if that does not happen within `limit`.
std::string waitProbed(const VirtualRemote &r, std::chrono::milliseconds limit);

// The event node of the driver's button device for this remote; empty if
// there is none.
std::string coreNode(const VirtualRemote &r);

// Buttons (wiiuse masks) down from now on, sent as a core report; returns
// when the report went.
Clock::time_point sendButtons(VirtualRemote &r, uint16_t buttons);

// One camera frame with these sources (x 0-1023, y 0-767), up to four.
void sendCamera(VirtualRemote &r, const std::vector<std::pair<int, int>> &sources);

// The remote goes away, as when its batteries are pulled.
void destroyRemote(VirtualRemote &r);

#endif
