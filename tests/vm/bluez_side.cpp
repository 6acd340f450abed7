#include "bluez_side.h"

#include "virtual_remote.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <csignal>
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

// A socket on a channel of the kernel's Bluetooth core, for one controller
// or none; -1 when refused.
int hciSocket(uint16_t dev, uint16_t channel)
{
	int fd = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
	sockaddr_hci addr{};
	addr.hci_family = AF_BLUETOOTH;
	addr.hci_dev = dev;
	addr.hci_channel = channel;
	if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
		int error = errno;
		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

// A Wii Remote's half of a legacy pairing started by the host with the SYNC
// button: its PIN is the host's address, as the six bytes it is stored in.
// Answered on the management channel, which takes raw bytes: on every
// controller but the host's, hci`late`'s `delay` after the request.
void answerPins(int late, std::chrono::milliseconds delay)
{
	int fd = hciSocket(HCI_DEV_NONE, HCI_CHANNEL_CONTROL);
	if (fd < 0)
		return;
	uint8_t buf[512];
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) >= 0;) {
		MgmtHeader h;
		std::memcpy(&h, buf, sizeof h);
		if (static_cast<size_t>(n) < sizeof h + sizeof(PinRequest) || btohs(h.opcode) != kPinCodeRequest ||
		    btohs(h.index) == 0)
			continue;
		PinRequest request;
		std::memcpy(&request, buf + sizeof h, sizeof request);
		if (btohs(h.index) == late)
			std::this_thread::sleep_for(delay);
		PinReply reply{};
		reply.header = {htobs(kPinCodeReply), h.index, htobs(sizeof reply - sizeof reply.header)};
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
// After "Powered", waits until the adapter is so.
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
	while (rc >= 0 && !std::strcmp(property, "Powered") && powered(bus, hci) != on) {
		if (Clock::now() > end) {
			why = adapter(hci) + " did not power on or off";
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

// Nintendo's Device ID, offered on this controller alone.
bool offerDeviceId(int hci, std::string &why)
{
	bdaddr_t any{}, local = {{0, 0, 0, 0xff, 0xff, 0xff}}, device;
	sdp_session_t *session = sdp_connect(&any, &local, SDP_RETRY_IF_BUSY);
	if (!session || hci_devba(hci, &device) < 0) {
		why = std::string("the Device ID record: ") + std::strerror(errno);
		return false;
	}
	sdp_record_t *record = sdp_record_alloc();
	uuid_t pnp, browse;
	sdp_uuid16_create(&pnp, PNP_INFO_SVCLASS_ID);
	sdp_uuid16_create(&browse, PUBLIC_BROWSE_GROUP);
	sdp_list_t *classes = sdp_list_append(nullptr, &pnp), *groups = sdp_list_append(nullptr, &browse);
	sdp_set_service_classes(record, classes);
	sdp_set_browse_groups(record, groups);
	// The record's own format (1.3), then the remote's ids; its vendor id
	// is a USB one.
	uint16_t format = 0x0103, vendor = 0x057e, product = 0x0306, version = 0x0600, source = 0x0002;
	uint8_t primary = 1;
	sdp_attr_add_new(record, 0x0200, SDP_UINT16, &format);
	sdp_attr_add_new(record, 0x0201, SDP_UINT16, &vendor);
	sdp_attr_add_new(record, 0x0202, SDP_UINT16, &product);
	sdp_attr_add_new(record, 0x0203, SDP_UINT16, &version);
	sdp_attr_add_new(record, 0x0204, SDP_BOOL, &primary);
	sdp_attr_add_new(record, 0x0205, SDP_UINT16, &source);
	bool ok = sdp_device_record_register(session, &device, record, SDP_RECORD_PERSIST) == 0;
	if (!ok)
		why = std::string("the Device ID record: ") + std::strerror(errno);
	sdp_record_free(record); // the daemon keeps its own copy
	sdp_list_free(classes, nullptr);
	sdp_list_free(groups, nullptr);
	sdp_close(session);
	return ok;
}

// The remotes' inquiry scan, which the emulated controllers also require of
// a device to be paged: off until SYNC is pressed, and a clone's off while
// the host makes a general inquiry. The emulated controllers answer any
// inquiry a device scans for, 100 ms after it begins, so the host's
// commands and events are watched as they go, from bluetoothd's start. A
// clone is paged only while it is shown: the search reaches it during its
// limited inquiry, and pairs and connects it over that link.
struct Watched {
	int raw = -1; // its raw HCI socket
	bdaddr_t address{};
	bool original = false; // answers general inquiries too
	bool shown = true;     // in SYNC mode: it answers the host's inquiries
	int heard[2] = {0, 0}; // answers the host had of it in general, limited inquiries
	int first = -1;        // the kind of inquiry that heard it first
};
enum class Inquiry { None, General, Limited }; // the host's, under way
struct Scans {
	std::mutex lock;
	std::map<int, Watched> of; // by controller
	Inquiry host = Inquiry::None;
};
Scans *const scans = new Scans; // never freed: the process ends first

bool hidden(const Watched &c, Inquiry host)
{
	return !c.shown || (!c.original && host == Inquiry::General);
}

void setScan(int raw, bool hidden)
{
	uint8_t command[5] = {HCI_COMMAND_PKT, 0x1a, 0x0c, 1, static_cast<uint8_t>(hidden ? 0x01 : 0x03)};
	// A controller switched off (bluetoothd stopping) takes no command.
	if (write(raw, command, sizeof command) != sizeof command && errno != ENETDOWN)
		std::perror("vmcheck: a clone's scan");
}

void watchInquiries()
{
	int monitor = hciSocket(HCI_DEV_NONE, HCI_CHANNEL_MONITOR);
	if (monitor < 0)
		return;
	uint8_t buf[1024];
	for (ssize_t n; (n = read(monitor, buf, sizeof buf)) >= 0;) {
		// Monitor header: opcode, controller, length; then a command (its
		// opcode, length, and an inquiry's access code first) or an event
		// (its code).
		const uint16_t kCommand = 2, kEvent = 3;
		uint16_t opcode, index, command;
		std::memcpy(&opcode, buf, 2);
		std::memcpy(&index, buf + 2, 2);
		std::memcpy(&command, buf + 6, 2);
		if (n < 8 || btohs(index) != 0)
			continue;
		uint8_t code = buf[6];
		if (btohs(opcode) == kEvent && n >= 15 && (code == 0x02 || code == 0x22 || code == 0x2f)) {
			// An inquiry's answer: the first device's address after the
			// event's code, length and count.
			std::lock_guard<std::mutex> hold(scans->lock);
			for (auto &[hci, c] : scans->of)
				if (!std::memcmp(buf + 9, c.address.b, 6)) {
					int limited = scans->host == Inquiry::Limited;
					++c.heard[limited];
					if (c.first < 0)
						c.first = limited;
				}
			continue;
		}
		Inquiry host;
		if (btohs(opcode) == kCommand && n >= 12 && btohs(command) == 0x0401)
			host = buf[9] == 0x00 && buf[10] == 0x8b && buf[11] == 0x9e ? Inquiry::Limited : Inquiry::General;
		else if ((btohs(opcode) == kCommand && btohs(command) == 0x0402) || (btohs(opcode) == kEvent && code == 0x01))
			host = Inquiry::None; // the inquiry cancelled, or over
		else
			continue;
		std::lock_guard<std::mutex> hold(scans->lock);
		scans->host = host;
		for (auto &[hci, c] : scans->of)
			setScan(c.raw, hidden(c, host));
	}
}

// hciN's scan is the watcher's from now on; it answers no inquiry until
// its SYNC is pressed.
bool watchScan(int hci, bool original, std::string &why)
{
	int raw = hciSocket(static_cast<uint16_t>(hci), HCI_CHANNEL_RAW);
	if (raw < 0) {
		why = "hci" + std::to_string(hci) + ": " + std::strerror(errno);
		return false;
	}
	std::lock_guard<std::mutex> hold(scans->lock);
	Watched &c = scans->of[hci];
	if (c.raw >= 0 && c.raw != raw)
		close(c.raw);
	c.raw = raw;
	c.original = original;
	c.shown = false;
	hci_devba(hci, &c.address);
	setScan(raw, true);
	return true;
}

} // namespace

namespace {

pid_t bluetoothd = -1;

void spawnBluetoothd(bool fresh)
{
	bluetoothd = fork();
	if (bluetoothd == 0) {
		int log = open("/tmp/bluetoothd.log", O_WRONLY | O_CREAT | (fresh ? O_TRUNC : O_APPEND), 0644);
		dup2(log, 1);
		dup2(log, 2);
		// -C: the local SDP interface, through which sdptool adds records.
		execl("/usr/libexec/bluetooth/bluetoothd", "bluetoothd", "-n", "-C", "-d", static_cast<char *>(nullptr));
		_exit(127);
	}
}

// Once bluetoothd shows every controller: the agent registered, the
// remotes' controllers pairing the legacy way, the host's switched on, and
// the Wii Remote's HID record offered.
bool readyBluetoothd(std::string &why)
{
	std::vector<int> remotes;
	for (int hci = 1; access(("/sys/class/bluetooth/hci" + std::to_string(hci)).c_str(), F_OK) == 0; ++hci)
		remotes.push_back(hci);
	sd_bus *bus = nullptr;
	if (sd_bus_open_system(&bus) < 0) {
		why = "no system bus";
		return false;
	}
	auto end = Clock::now() + std::chrono::seconds(30);
	for (int hci = 0; hci <= static_cast<int>(remotes.size()); ++hci)
		while (powered(bus, hci) < 0) {
			if (Clock::now() > end) {
				why = "bluetoothd did not take every controller (see /tmp/bluetoothd.log)";
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
	// A Wii Remote pairs the legacy way, with a PIN, and offers its HID
	// record.
	for (int hci : remotes)
		if (!run("btmgmt --index " + std::to_string(hci) + " ssp off >/dev/null", why))
			return false;
	return setAdapter(0, "Powered", nullptr, 1, why) && run("sdptool add WIIMOTE >/dev/null", why);
}

} // namespace

bool startBluez(int late, std::chrono::milliseconds pinDelay, std::string &why)
{
	for (int hci = 1; access(("/sys/class/bluetooth/hci" + std::to_string(hci)).c_str(), F_OK) == 0; ++hci)
		holdAirChannels(hci);
	spawnBluetoothd(true);
	std::thread(answerPins, late, pinDelay).detach();
	std::thread(watchInquiries).detach();
	// Every controller starts off; the host's is switched on, a remote's
	// only when its SYNC button is pressed.
	return readyBluetoothd(why);
}

bool restartBluez(std::string &why)
{
	if (bluetoothd < 0 || kill(bluetoothd, SIGTERM) < 0 || waitpid(bluetoothd, nullptr, 0) < 0) {
		why = std::string("bluetoothd: ") + std::strerror(errno);
		return false;
	}
	spawnBluetoothd(false);
	return readyBluetoothd(why);
}

bool readySync(int remote, bool clone, std::string &why)
{
	std::string hci = "hci" + std::to_string(remote);
	// It is called so, whatever it is; bluetoothd sets a class as it makes
	// a controller discoverable, so a remote's comes after.
	if (!setAdapter(remote, "Alias", "Nintendo RVL-CNT-01", 0, why) || !setAdapter(remote, "Powered", nullptr, 1, why))
		return false;
	if (!clone && !(offerDeviceId(remote, why) && setAdapter(remote, "Discoverable", nullptr, 1, why)))
		return false;
	// Connectable; its inquiry scan is the watcher's.
	return run("hciconfig " + hci + " class 0x002504", why) && (!clone || run("hciconfig " + hci + " pscan", why)) &&
	       watchScan(remote, !clone, why);
}

bool pressSync(int remote)
{
	std::lock_guard<std::mutex> hold(scans->lock);
	Watched &c = scans->of[remote];
	c.shown = true;
	setScan(c.raw, hidden(c, scans->host));
	return true;
}

void leaveSync(int remote)
{
	{
		std::lock_guard<std::mutex> hold(scans->lock);
		auto c = scans->of.find(remote);
		if (c != scans->of.end()) {
			c->second.shown = false;
			setScan(c->second.raw, true);
			return;
		}
	}
	sd_bus *bus = nullptr;
	if (sd_bus_open_system(&bus) >= 0 && powered(bus, remote) == 1) {
		std::string why;
		setAdapter(remote, "Discoverable", nullptr, 0, why);
	}
	sd_bus_flush_close_unref(bus);
}

bool switchOff(int remote, std::string &why)
{
	return setAdapter(remote, "Powered", nullptr, 0, why);
}

bool unlinked(int remote, int host, std::string &why)
{
	bdaddr_t peer;
	if (hci_devba(host, &peer) < 0) {
		why = "hci" + std::to_string(host) + ": " + std::strerror(errno);
		return false;
	}
	int ctl = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
	// The request, and room after it for 16 links.
	alignas(hci_conn_list_req) uint8_t room[sizeof(hci_conn_list_req) + 16 * sizeof(hci_conn_info)];
	auto *links = reinterpret_cast<hci_conn_list_req *>(room);
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	for (;;) {
		links->dev_id = static_cast<uint16_t>(remote);
		links->conn_num = 16;
		if (ctl < 0 || ioctl(ctl, HCIGETCONNLIST, links) < 0) {
			why = "hci" + std::to_string(remote) + "'s links: " + std::strerror(errno);
			break;
		}
		bool linked = false;
		for (int i = 0; i < links->conn_num; ++i)
			linked = linked || (links->conn_info[i].type == ACL_LINK && !bacmp(&links->conn_info[i].bdaddr, &peer));
		if (!linked)
			break;
		if (std::chrono::steady_clock::now() >= end) {
			why = "hci" + std::to_string(remote) + " still holds a link to hci" + std::to_string(host) + " after 10 s";
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	if (ctl >= 0)
		close(ctl);
	return why.empty();
}

bool holdLink(int from, int to, std::string &why)
{
	// Both on, `from` seen by nobody yet; the emulated controllers page
	// only a device that scans for inquiries. The link's service discovery
	// channel is kept open for good.
	return setAdapter(from, "Powered", nullptr, 1, why) && run("hciconfig hci" + std::to_string(from) + " noscan", why) &&
	       setAdapter(to, "Powered", nullptr, 1, why) && run("hciconfig hci" + std::to_string(to) + " piscan", why) &&
	       connectL2cap(from, to, 1, why) >= 0;
}

bool heardFirstInLimited(int clone, std::string &why)
{
	std::lock_guard<std::mutex> hold(scans->lock);
	const Watched &c = scans->of[clone];
	if (c.first < 0)
		why = "the host never heard it in an inquiry";
	else if (c.first == 0)
		why = "the host heard it first in a general inquiry (" + std::to_string(c.heard[0]) + " times in general "
		      "inquiries, " + std::to_string(c.heard[1]) + " in limited ones)";
	return why.empty();
}
