#include "bluez_side.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPinCodeRequest = 0x000e; // management event
constexpr uint16_t kPinCodeReply = 0x0016;   // management command

struct __attribute__((packed)) MgmtHeader {
	uint16_t opcode, index, length;
};
struct __attribute__((packed)) PinRequest {
	bdaddr_t address;
	uint8_t type, secure;
};
struct __attribute__((packed)) PinReply {
	MgmtHeader header;
	bdaddr_t address;
	uint8_t type, length;
	uint8_t pin[16];
};

// A Wii Remote's half of a legacy pairing started by the host with the SYNC
// button: its PIN is the host's address, as the six bytes it is stored in.
// Answered on the management channel, which takes raw bytes, `delay` after
// the request.
void answerPins(int remote, std::chrono::milliseconds delay)
{
	int fd = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
	sockaddr_hci addr{};
	addr.hci_family = AF_BLUETOOTH;
	addr.hci_dev = HCI_DEV_NONE;
	addr.hci_channel = HCI_CHANNEL_CONTROL;
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
		return;
	uint8_t buf[512];
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) >= 0;) {
		MgmtHeader h;
		std::memcpy(&h, buf, sizeof h);
		if (static_cast<size_t>(n) < sizeof h + sizeof(PinRequest) || btohs(h.opcode) != kPinCodeRequest ||
		    btohs(h.index) != remote)
			continue;
		PinRequest request;
		std::memcpy(&request, buf + sizeof h, sizeof request);
		std::this_thread::sleep_for(delay);
		PinReply reply{};
		reply.header = {htobs(kPinCodeReply), htobs(static_cast<uint16_t>(remote)),
		                htobs(sizeof reply - sizeof reply.header)};
		reply.address = request.address;
		reply.type = request.type;
		reply.length = 6;
		std::memcpy(reply.pin, request.address.b, 6);
		if (write(fd, &reply, sizeof reply) < 0)
			return;
	}
}

// The agent holds the remote's side's PIN requests unanswered, so that
// bluetoothd does not refuse them before the answer above.
// Never answered, and never freed: the process ends first.
auto *const held = new std::vector<sd_bus_message *>;

int hold(sd_bus_message *m, void *, sd_bus_error *)
{
	held->push_back(sd_bus_message_ref(m));
	return 1;
}
int agree(sd_bus_message *m, void *, sd_bus_error *)
{
	return sd_bus_reply_method_return(m, "");
}
const sd_bus_vtable kAgent[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_METHOD("Release", "", "", agree, 0),
	SD_BUS_METHOD("RequestPinCode", "o", "s", hold, 0),
	SD_BUS_METHOD("RequestPasskey", "o", "u", hold, 0),
	SD_BUS_METHOD("DisplayPinCode", "os", "", agree, 0),
	SD_BUS_METHOD("DisplayPasskey", "ouq", "", agree, 0),
	SD_BUS_METHOD("RequestConfirmation", "ou", "", agree, 0),
	SD_BUS_METHOD("RequestAuthorization", "o", "", agree, 0),
	SD_BUS_METHOD("AuthorizeService", "os", "", agree, 0),
	SD_BUS_METHOD("Cancel", "", "", agree, 0),
	SD_BUS_VTABLE_END};

void serveAgent(sd_bus *bus)
{
	for (;;) {
		int rc = sd_bus_process(bus, nullptr);
		if (rc < 0)
			return;
		if (rc == 0 && sd_bus_wait(bus, UINT64_MAX) < 0)
			return;
	}
}

std::string adapter(int hci)
{
	return "/org/bluez/hci" + std::to_string(hci);
}

// 1 when the adapter is on, 0 when off, -1 while bluetoothd does not show it.
int powered(sd_bus *bus, int hci)
{
	int on = 0;
	sd_bus_error error = SD_BUS_ERROR_NULL;
	int rc = sd_bus_get_property_trivial(bus, "org.bluez", adapter(hci).c_str(), "org.bluez.Adapter1", "Powered",
	                                     &error, 'b', &on);
	sd_bus_error_free(&error);
	return rc < 0 ? -1 : on != 0;
}

// Sets a property of an adapter: `text` when given, else the truth `on`.
// After "Powered", waits until the adapter is on.
bool setAdapter(int hci, const char *property, const char *text, int on, std::string &why)
{
	sd_bus *bus = nullptr;
	sd_bus_error error = SD_BUS_ERROR_NULL;
	int rc = sd_bus_open_system(&bus);
	if (rc >= 0 && text)
		rc = sd_bus_set_property(bus, "org.bluez", adapter(hci).c_str(), "org.bluez.Adapter1", property, &error,
		                         "s", text);
	else if (rc >= 0)
		rc = sd_bus_set_property(bus, "org.bluez", adapter(hci).c_str(), "org.bluez.Adapter1", property, &error,
		                         "b", on);
	if (rc < 0)
		why = adapter(hci) + " " + property + ": " + (error.message ? error.message : std::strerror(-rc));
	auto end = Clock::now() + std::chrono::seconds(10);
	while (rc >= 0 && !std::strcmp(property, "Powered") && powered(bus, hci) != 1) {
		if (Clock::now() > end) {
			why = adapter(hci) + " did not power on";
			rc = -1;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	sd_bus_error_free(&error);
	sd_bus_flush_close_unref(bus);
	return rc >= 0;
}

bool run(const std::string &command, std::string &why)
{
	int status = std::system(command.c_str());
	if (status != 0)
		why = command + ": status " + std::to_string(status);
	return status == 0;
}

} // namespace

bool startBluez(int remote, std::chrono::milliseconds pinDelay, std::string &why)
{
	pid_t pid = fork();
	if (pid == 0) {
		int log = open("/tmp/bluetoothd.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(log, 1);
		dup2(log, 2);
		// -C: the local SDP interface, through which sdptool adds records.
		execl("/usr/libexec/bluetooth/bluetoothd", "bluetoothd", "-n", "-C", "-d", static_cast<char *>(nullptr));
		_exit(127);
	}
	std::thread(answerPins, remote, pinDelay).detach();

	sd_bus *bus = nullptr;
	if (sd_bus_open_system(&bus) < 0) {
		why = "no system bus";
		return false;
	}
	// Both controllers start off; the host's is switched on, the remote's
	// only when its SYNC button is pressed.
	auto end = Clock::now() + std::chrono::seconds(30);
	for (int hci : {0, remote})
		while (powered(bus, hci) < 0) {
			if (Clock::now() > end) {
				why = "bluetoothd did not take both controllers (see /tmp/bluetoothd.log)";
				return false;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
		}
	sd_bus_error error = SD_BUS_ERROR_NULL;
	if (sd_bus_add_object_vtable(bus, nullptr, "/vmcheck/agent", "org.bluez.Agent1", kAgent, nullptr) < 0 ||
	    sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", &error,
	                       nullptr, "os", "/vmcheck/agent", "KeyboardDisplay") < 0 ||
	    sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1", "RequestDefaultAgent",
	                       &error, nullptr, "o", "/vmcheck/agent") < 0) {
		why = std::string("agent: ") + (error.message ? error.message : "refused");
		sd_bus_error_free(&error);
		return false;
	}
	std::thread(serveAgent, bus).detach();
	// A Wii Remote pairs the legacy way, with a PIN, offers its HID record,
	// and is called so.
	return run("btmgmt --index " + std::to_string(remote) + " ssp off >/dev/null", why) &&
	       setAdapter(remote, "Alias", "Nintendo RVL-CNT-01", 0, why) &&
	       setAdapter(0, "Powered", nullptr, 1, why) && run("sdptool add WIIMOTE >/dev/null", why);
}

bool pressSync(int remote, std::string &why)
{
	return setAdapter(remote, "Powered", nullptr, 1, why) && setAdapter(remote, "Discoverable", nullptr, 1, why) &&
	       run("hciconfig hci" + std::to_string(remote) + " class 0x002504", why);
}
