#include "virtual_remote.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/l2cap.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Report IDs and payload sizes (after the ID) of what the remote sends...
const std::pair<uint8_t, uint8_t> kInputs[] = {
	{0x20, 6},  {0x21, 21}, {0x22, 4},  {0x30, 2},  {0x31, 5},  {0x32, 10}, {0x33, 17},
	{0x34, 21}, {0x35, 21}, {0x36, 21}, {0x37, 21}, {0x3d, 21}, {0x3e, 21}, {0x3f, 21}};
// ... and of what it is sent.
const std::pair<uint8_t, uint8_t> kOutputs[] = {
	{0x10, 1}, {0x11, 1}, {0x12, 2}, {0x13, 1}, {0x14, 1}, {0x15, 1},
	{0x16, 21}, {0x17, 6}, {0x18, 21}, {0x19, 1}, {0x1a, 1}};

// hid-core drops reports whose ID the descriptor does not declare.
std::vector<uint8_t> descriptor()
{
	std::vector<uint8_t> d = {0x06, 0x00, 0xff, // usage page: vendor
	                          0x09, 0x01,       // usage
	                          0xa1, 0x01,       // collection: application
	                          0x15, 0x00,       // logical minimum 0
	                          0x26, 0xff, 0x00, // logical maximum 255
	                          0x75, 0x08};      // report size: 8 bits
	for (auto [id, size] : kOutputs)
		d.insert(d.end(), {0x85, id, 0x09, 0x01, 0x95, size, 0x91, 0x02});
	for (auto [id, size] : kInputs)
		d.insert(d.end(), {0x85, id, 0x09, 0x01, 0x95, size, 0x81, 0x02});
	d.push_back(0xc0);
	return d;
}

void put(VirtualRemote &r, uhid_event &ev)
{
	if (write(r.fd, &ev, sizeof ev) < 0) {
		// The device is being destroyed: nothing left to say to it.
	}
}

constexpr std::chrono::milliseconds kReportGap{10}; // 100 reports a second at most

// Sends an input report: ID then payload. Buttons lead every core report.
// Returns when it went.
Clock::time_point send(VirtualRemote &r, std::vector<uint8_t> report)
{
	uhid_event ev{};
	ev.type = UHID_INPUT2;
	ev.u.input2.size = static_cast<uint16_t>(report.size());
	std::memcpy(ev.u.input2.data, report.data(), report.size());
	report.insert(report.begin(), 0xa1); // over the air: DATA | INPUT
	std::lock_guard<std::mutex> hold(r.sending);
	{
		std::lock_guard<std::mutex> quiet(r.lock);
		if (r.silent)
			return Clock::now();
	}
	std::this_thread::sleep_until(r.lastReport + kReportGap);
	if (r.fd >= 0)
		put(r, ev);
	else if (r.channel[1] >= 0 && ::send(r.channel[1], report.data(), report.size(), MSG_NOSIGNAL) < 0) {
		// The host has gone: the remote goes on as if out of range.
	}
	return r.lastReport = Clock::now();
}

std::vector<uint8_t> withButtons(VirtualRemote &r, uint8_t id)
{
	std::lock_guard<std::mutex> hold(r.lock);
	return {id, static_cast<uint8_t>((r.buttons >> 8) & 0x1f), static_cast<uint8_t>(r.buttons & 0x9f)};
}

void acknowledge(VirtualRemote &r, uint8_t request)
{
	std::vector<uint8_t> ack = withButtons(r, 0x22);
	ack.insert(ack.end(), {request, 0x00});
	send(r, ack);
}

// The status report, with the LEDs and camera as the driver set them.
void sendStatus(VirtualRemote &r)
{
	std::vector<uint8_t> status = withButtons(r, 0x20);
	uint8_t flags;
	{
		std::lock_guard<std::mutex> hold(r.lock);
		flags = static_cast<uint8_t>((r.leds < 0 ? 0 : r.leds) | (r.camera ? 0x08 : 0));
	}
	status.insert(status.end(), {flags, 0x00, 0x00, 0xc0}); // battery: 75 %
	send(r, status);
}

void answer(VirtualRemote &r, const uint8_t *data, size_t size)
{
	if (size < 2)
		return;
	uint8_t id = data[0];
	{
		std::lock_guard<std::mutex> hold(r.lock);
		if (r.silent)
			return;
		bool rumble = data[1] & 0x01;
		if (rumble != r.rumble) {
			r.rumble = rumble;
			r.rumbles.push_back({Clock::now(), rumble});
		}
		if (id == 0x11)
			r.leds = data[1] & 0xf0;
		if (id == 0x12 && size >= 3)
			r.mode = data[2];
		if (id == 0x13) {
			bool on = data[1] & 0x04;
			r.cameraSwitches += on != r.camera;
			r.camera = on;
		}
	}
	// Requests that want an answer get it after the trip over the air.
	bool answered = id == 0x15 || id == 0x16 || id == 0x17 ||
	                ((id == 0x13 || id == 0x1a) && (data[1] & 0x02));
	if (id == 0x15 && r.statusLate.count()) {
		// A busy radio: each answer late on its own, none lost.
		std::lock_guard<std::mutex> hold(r.lock);
		r.lateAnswers.emplace_back([&r, late = r.statusLate] {
			std::this_thread::sleep_for(late);
			sendStatus(r);
		});
		return;
	}
	// The camera's set-up: its two switches and its register writes
	// (0x04b0xxxx).
	bool camera = (id == 0x13 || id == 0x1a || (id == 0x16 && size >= 4 && (data[1] & 0xfe) == 0x04 && data[2] == 0xb0)) &&
	              (data[1] & 0x02 || id == 0x16);
	if (camera && r.cameraLate.count()) {
		std::lock_guard<std::mutex> hold(r.lock);
		if (r.cameraLate.count() > 0)
			r.lateAnswers.emplace_back([&r, id, late = r.cameraLate] {
				std::this_thread::sleep_for(late);
				acknowledge(r, id);
			});
		return;
	}
	if (answered)
		std::this_thread::sleep_for(r.answerDelay);
	switch (id) {
	case 0x13:
	case 0x1a:
		if (data[1] & 0x02)
			acknowledge(r, id);
		break;
	case 0x15: // status request
		sendStatus(r);
		break;
	case 0x16: // register write
		acknowledge(r, id);
		break;
	case 0x17: { // memory read: "no such memory" answers no extension, no Motion Plus
		if (size < 7)
			break;
		std::vector<uint8_t> reply = withButtons(r, 0x21);
		unsigned length = (data[5] << 8) | data[6];
		uint8_t sizeError = static_cast<uint8_t>(((length ? length - 1 : 0) & 0x0f) << 4 | 0x07);
		reply.insert(reply.end(), {sizeError, data[3], data[4]});
		reply.resize(22, 0x00);
		send(r, reply);
		break;
	}
	default:
		break;
	}
}

void readRequests(VirtualRemote *r)
{
	uhid_event ev;
	for (;;) {
		pollfd p = {r->fd, POLLIN, 0};
		if (poll(&p, 1, 200) < 0 && errno != EINTR)
			return;
		{
			std::lock_guard<std::mutex> hold(r->lock);
			if (r->gone)
				return;
		}
		if (!(p.revents & POLLIN))
			continue;
		ssize_t n = read(r->fd, &ev, sizeof ev);
		if (n <= 0)
			continue;
		if (ev.type == UHID_OUTPUT) {
			answer(*r, ev.u.output.data, ev.u.output.size);
		} else if (ev.type == UHID_GET_REPORT) {
			uhid_event reply{};
			reply.type = UHID_GET_REPORT_REPLY;
			reply.u.get_report_reply.id = ev.u.get_report.id;
			reply.u.get_report_reply.err = EIO;
			put(*r, reply);
		} else if (ev.type == UHID_SET_REPORT) {
			uhid_event reply{};
			reply.type = UHID_SET_REPORT_REPLY;
			reply.u.set_report_reply.id = ev.u.set_report.id;
			put(*r, reply);
		}
	}
}

bool stopped(VirtualRemote *r)
{
	std::lock_guard<std::mutex> hold(r->lock);
	return r->gone;
}

// Answers the host on the control channel: requests that set something
// succeed, those that ask for something are not supported.
void control(int fd, const uint8_t *data, ssize_t n)
{
	if (n < 1)
		return;
	unsigned type = data[0] >> 4;
	uint8_t handshake = type == 0x5 || type == 0x7 || type == 0x9 ? 0x00 : 0x03;
	if (type != 0x1 && ::send(fd, &handshake, 1, MSG_NOSIGNAL) < 0) {
		// Gone: noticed by the next read.
	}
}

// The device side of Bluetooth HID: takes the host's two connections, then
// answers what comes on them, until the remote is destroyed.
void serveAir(VirtualRemote *r)
{
	uint8_t buf[700];
	while (!stopped(r)) {
		pollfd p[4];
		int *fds[4] = {&r->listening[0], &r->listening[1], &r->channel[0], &r->channel[1]};
		for (int i = 0; i < 4; ++i)
			p[i] = {*fds[i], POLLIN, 0};
		if (poll(p, 4, 200) <= 0)
			continue;
		for (int i = 0; i < 2; ++i)
			if (p[i].revents & POLLIN) {
				int fd = accept4(*fds[i], nullptr, nullptr, SOCK_CLOEXEC);
				std::lock_guard<std::mutex> hold(r->sending);
				if (r->channel[i] >= 0)
					close(r->channel[i]);
				r->channel[i] = fd;
			}
		for (int i = 2; i < 4; ++i) {
			if (!p[i].revents)
				continue;
			ssize_t n = recv(*fds[i], buf, sizeof buf, 0);
			if (n <= 0) {
				std::lock_guard<std::mutex> hold(r->sending);
				close(*fds[i]);
				*fds[i] = -1;
			} else if (i == 2) {
				control(*fds[i], buf, n);
			} else if (buf[0] == 0xa2) { // DATA | OUTPUT
				answer(*r, buf + 1, static_cast<size_t>(n - 1));
			}
		}
	}
}

std::string firstLine(const std::string &path)
{
	std::ifstream in(path);
	std::string line;
	std::getline(in, line);
	return line;
}

std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> names;
	if (DIR *d = opendir(dir.c_str())) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				names.push_back(e->d_name);
		closedir(d);
	}
	return names;
}

} // namespace

VirtualRemote::~VirtualRemote()
{
	destroyRemote(*this);
}

bool createRemote(VirtualRemote &r, const std::string &uniq, std::string &why)
{
	r.uniq = uniq;
	r.fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
	if (r.fd < 0) {
		why = std::string("/dev/uhid: ") + std::strerror(errno);
		return false;
	}
	uhid_event ev{};
	ev.type = UHID_CREATE2;
	std::strcpy(reinterpret_cast<char *>(ev.u.create2.name), "Nintendo RVL-CNT-01");
	std::strncpy(reinterpret_cast<char *>(ev.u.create2.uniq), uniq.c_str(), 63);
	std::vector<uint8_t> d = descriptor();
	std::memcpy(ev.u.create2.rd_data, d.data(), d.size());
	ev.u.create2.rd_size = static_cast<uint16_t>(d.size());
	ev.u.create2.bus = BUS_BLUETOOTH;
	ev.u.create2.vendor = 0x057e;
	ev.u.create2.product = 0x0306;
	if (write(r.fd, &ev, sizeof ev) < 0) {
		why = std::string("UHID_CREATE2: ") + std::strerror(errno);
		return false;
	}
	r.reader = std::thread(readRequests, &r);
	return true;
}

namespace {

// The address of controller hciN.
bool hciAddress(int hci, bdaddr_t &address, std::string &why)
{
	int ctl = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
	hci_dev_info info{};
	info.dev_id = static_cast<uint16_t>(hci);
	bool ok = ctl >= 0 && ioctl(ctl, HCIGETDEVINFO, &info) == 0;
	if (!ok)
		why = "hci" + std::to_string(hci) + ": " + std::strerror(errno);
	if (ctl >= 0)
		close(ctl);
	address = info.bdaddr;
	return ok;
}

// The remotes' HID channels, bound on a remote's controller before
// bluetoothd could take them for its own input server there: a remote made
// later listens on them.
std::map<std::pair<int, uint16_t>, int> held;

int listener(const bdaddr_t &address, uint16_t psm)
{
	sockaddr_l2 addr{};
	addr.l2_family = AF_BLUETOOTH;
	addr.l2_psm = htobs(psm);
	addr.l2_bdaddr = address;
	int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_L2CAP);
	if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

} // namespace

void holdAirChannels(int hci)
{
	bdaddr_t address;
	std::string why;
	if (!hciAddress(hci, address, why))
		return;
	for (uint16_t psm : {0x11, 0x13})
		if (!held.count({hci, psm})) {
			int fd = listener(address, psm);
			if (fd >= 0)
				held[{hci, psm}] = fd;
		}
}

bool createAirRemote(VirtualRemote &r, int hci, std::string &why)
{
	bdaddr_t address;
	if (!hciAddress(hci, address, why))
		return false;
	r.hci = hci;
	char uniq[18];
	const uint8_t *b = address.b;
	std::snprintf(uniq, sizeof uniq, "%02x:%02x:%02x:%02x:%02x:%02x", b[5], b[4], b[3], b[2], b[1], b[0]);
	r.uniq = uniq;
	const uint16_t psms[2] = {0x11, 0x13};
	for (int i = 0; i < 2; ++i) {
		auto kept = held.find({hci, psms[i]});
		int fd = kept != held.end() ? kept->second : listener(address, psms[i]);
		if (kept != held.end())
			held.erase(kept);
		if (fd < 0 || listen(fd, 1) < 0) {
			why = "L2CAP PSM " + std::to_string(psms[i]) + " on " + r.uniq + ": " + std::strerror(errno);
			if (fd >= 0)
				close(fd);
			return false;
		}
		r.listening[i] = fd;
	}
	r.reader = std::thread(serveAir, &r);
	return true;
}

int connectL2cap(int from, int to, uint16_t psm, std::string &why)
{
	sockaddr_l2 local{}, peer{};
	if (!hciAddress(from, local.l2_bdaddr, why) || !hciAddress(to, peer.l2_bdaddr, why))
		return -1;
	local.l2_family = peer.l2_family = AF_BLUETOOTH;
	peer.l2_psm = htobs(psm);
	int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_L2CAP);
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
	    connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) < 0) {
		why = "L2CAP PSM " + std::to_string(psm) + " from hci" + std::to_string(from) + " to hci" +
		      std::to_string(to) + ": " + std::strerror(errno);
		if (fd >= 0)
			close(fd);
		return -1;
	}
	return fd;
}

bool connectAir(VirtualRemote &r, int host, std::string &why)
{
	int fds[2] = {-1, -1};
	const uint16_t psms[2] = {0x11, 0x13};
	for (int i = 0; i < 2; ++i)
		if ((fds[i] = connectL2cap(r.hci, host, psms[i], why)) < 0) {
			if (fds[0] >= 0)
				close(fds[0]);
			return false;
		}
	std::lock_guard<std::mutex> hold(r.sending);
	for (int i = 0; i < 2; ++i) {
		if (r.channel[i] >= 0)
			close(r.channel[i]);
		r.channel[i] = fds[i];
	}
	return true;
}

std::string waitProbed(const VirtualRemote &r, std::chrono::milliseconds limit)
{
	auto end = Clock::now() + limit;
	do {
		const std::string base = "/sys/bus/hid/devices/";
		for (const std::string &name : entries(base)) {
			std::string dir = base + name;
			std::ifstream uevent(dir + "/uevent");
			for (std::string line; std::getline(uevent, line);)
				if (line == "HID_UNIQ=" + r.uniq) {
					std::string devtype = firstLine(dir + "/devtype");
					if (!devtype.empty() && devtype != "pending")
						return dir;
				}
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	} while (Clock::now() < end);
	return "";
}

std::string coreNode(const VirtualRemote &r)
{
	std::string dir = waitProbed(r, std::chrono::milliseconds(0));
	std::vector<std::string> inputs = entries(dir + "/input");
	for (const std::string &input : inputs) {
		if (firstLine(dir + "/input/" + input + "/name") != "Nintendo Wii Remote")
			continue;
		for (const std::string &e : entries(dir + "/input/" + input))
			if (e.compare(0, 5, "event") == 0)
				return "/dev/input/" + e;
	}
	return "";
}

Clock::time_point sendButtons(VirtualRemote &r, uint16_t buttons)
{
	{
		std::lock_guard<std::mutex> hold(r.lock);
		r.buttons = buttons;
	}
	return send(r, withButtons(r, 0x30));
}

void sendCamera(VirtualRemote &r, const std::vector<std::pair<int, int>> &sources)
{
	// Buttons, accelerometer at rest, then four slots in the extended format.
	std::vector<uint8_t> report = withButtons(r, 0x33);
	report.insert(report.end(), {0x80, 0x80, 0x80});
	for (size_t i = 0; i < 4; ++i) {
		if (i >= sources.size()) {
			report.insert(report.end(), {0xff, 0xff, 0xff});
			continue;
		}
		unsigned x = static_cast<unsigned>(sources[i].first);
		unsigned y = static_cast<unsigned>(sources[i].second);
		report.insert(report.end(), {static_cast<uint8_t>(x & 0xff), static_cast<uint8_t>(y & 0xff),
		                             static_cast<uint8_t>(((y >> 8) & 3) << 6 | ((x >> 8) & 3) << 4 | 2)});
	}
	send(r, report);
}

void destroyRemote(VirtualRemote &r)
{
	if (r.fd < 0 && r.listening[0] < 0)
		return;
	if (r.fd >= 0) {
		uhid_event ev{};
		ev.type = UHID_DESTROY;
		put(r, ev);
	}
	{
		std::lock_guard<std::mutex> hold(r.lock);
		r.gone = true;
	}
	if (r.reader.joinable())
		r.reader.join();
	for (std::thread &t : r.lateAnswers)
		t.join();
	r.lateAnswers.clear();
	// Over the air: the link goes, as when the batteries are pulled.
	for (int *fd : {&r.channel[1], &r.channel[0], &r.listening[0], &r.listening[1], &r.fd})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
}
