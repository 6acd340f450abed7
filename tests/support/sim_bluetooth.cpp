#include "support/sim_bluetooth.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

const char kAdapterPath[] = "/org/bluez/hci0";
const char kAdapterAddress[] = "00:AA:01:00:00:00";

void put(int fd, std::vector<uint8_t> packet)
{
	if (fd >= 0 && write(fd, packet.data(), packet.size()) < 0)
		return;
}

} // namespace

std::string pathOf(const std::string &address)
{
	std::string p = std::string(kAdapterPath) + "/dev_" + address;
	std::replace(p.begin(), p.end(), ':', '_');
	return p;
}

SimBluetooth::SimBluetooth(Sim &c) : clock(c)
{
	if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) < 0)
		wake[0] = wake[1] = -1;
	clock.watchers.push_back([this] { pump(); });
}

SimBluetooth::~SimBluetooth()
{
	farEnds.insert(farEnds.end(), {wake[0], wake[1], controller});
	for (int fd : farEnds)
		if (fd >= 0)
			close(fd);
}

void SimBluetooth::after(Ms ms, std::function<void()> what)
{
	clock.at(clock.t + ms, std::move(what));
}

void SimBluetooth::signal(BusEvent e)
{
	queue.push_back(std::move(e));
	if (write(wake[1], "", 1) < 0)
		return;
}

void SimBluetooth::note(const std::string &what)
{
	log.push_back(std::to_string(std::chrono::duration_cast<Ms>(clock.t - began).count()) + " " + what);
}

int SimBluetooth::count(const std::string &what) const
{
	return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string &l) {
		return l.find(" " + what) != std::string::npos;
	}));
}

int SimBluetooth::firstAt(const std::string &what) const
{
	for (const std::string &l : log)
		if (l.find(" " + what) != std::string::npos)
			return std::stoi(l);
	return -1;
}

namespace {

Props propsOf(const Device &d)
{
	Props p;
	p.adapter = d.adapter;
	p.address = d.address;
	p.name = d.name;
	p.modalias = d.modalias;
	p.paired = d.paired;
	p.connected = d.connected;
	p.trusted = d.trusted;
	p.hid = d.hid;
	p.resolved = d.resolved;
	p.deviceClass = d.deviceClass;
	p.inRange = d.inRange;
	return p;
}

} // namespace

void SimBluetooth::press(const std::string &address, bool paired, bool trusted)
{
	SimRemote &r = remotes[address];
	r.pressed = true;
	if (!paired)
		return;
	Device &d = objects[pathOf(address)];
	d = Device{};
	d.adapter = kAdapterPath, d.address = address, d.name = r.name, d.modalias = r.modalias;
	d.paired = d.hid = d.resolved = true, d.trusted = trusted, d.deviceClass = r.deviceClass;
}

void SimBluetooth::power(bool on)
{
	note(on ? "adapter on" : "adapter off");
	powered = on;
	BusEvent e{BusEvent::Changed};
	e.path = kAdapterPath;
	e.props.powered = on;
	signal(e);
}

void SimBluetooth::restart(Ms later)
{
	note("bluetoothd stops");
	// It switches its adapter off, then leaves the bus.
	BusEvent off{BusEvent::Changed};
	off.path = kAdapterPath;
	off.props.powered = false;
	signal(off);
	running = false;
	objects.clear();
	signal({BusEvent::Gone});
	after(later, [this] {
		note("bluetoothd starts");
		running = true;
		signal({BusEvent::Back});
	});
}

BusPort SimBluetooth::bus()
{
	BusPort port;
	port.call = [this](const BusCall &c) -> uint64_t {
		note(std::string(methodName(c.method)) + " " + c.path + (c.arg.empty() ? "" : " " + c.arg) +
		     (c.method == BusCall::Trust ? (c.flag ? " true" : " false") : ""));
		uint64_t id = ++calls;
		auto answer = [this, id](Ms ms, std::string error, std::function<void(BusEvent &)> fill = nullptr) {
			after(ms, [this, id, error, fill] {
				BusEvent e{BusEvent::Answer};
				e.call = id;
				e.error = running ? error : "org.freedesktop.DBus.Error.ServiceUnknown";
				e.message = e.error.empty() ? "" : "simulated";
				if (running && error.empty() && fill)
					fill(e);
				signal(e);
			});
		};
		if (!running)
			return answer(Ms(1), "org.freedesktop.DBus.Error.ServiceUnknown"), id;
		auto it = objects.find(c.path);
		bool device = it != objects.end();
		SimRemote *r = device && remotes.count(it->second.address) ? &remotes[it->second.address] : nullptr;
		// A device not in SYNC mode is paged in vain; one gone is unknown.
		auto unreachable = [&](const char *error) {
			if (device && r && r->pressed)
				return false;
			answer(Ms(device ? 5000 : 1), device ? error : "org.freedesktop.DBus.Error.UnknownObject");
			return true;
		};
		auto changed = [this](const std::string &path, Props p) {
			BusEvent e{BusEvent::Changed};
			e.path = path;
			e.props = p;
			signal(e);
		};
		switch (c.method) {
		case BusCall::Inventory:
			answer(Ms(5), "", [this](BusEvent &e) {
				Device a;
				a.powered = powered;
				a.address = kAdapterAddress;
				e.inventory.adapters[kAdapterPath] = a;
				e.inventory.devices = objects;
			});
			break;
		case BusCall::StartDiscovery:
			answer(Ms(10), "");
			// bluetoothd's inquiry hears the remotes that answer it.
			after(Ms(1000), [this] {
				for (auto &[address, rem] : remotes) {
					if (!rem.pressed || !rem.general || !running)
						continue;
					Device &d = objects[pathOf(address)];
					bool known = !d.address.empty();
					d.adapter = kAdapterPath, d.address = address, d.deviceClass = rem.deviceClass,
					d.name = rem.name, d.inRange = true;
					BusEvent e{known ? BusEvent::Changed : BusEvent::Added};
					e.path = pathOf(address);
					e.device = true;
					e.props = propsOf(d);
					signal(e);
				}
			});
			break;
		case BusCall::Pair:
			if (unreachable("org.bluez.Error.AuthenticationTimeout"))
				break;
			after(r->pairTakes, [this, path = c.path, changed] {
				auto o = objects.find(path);
				SimRemote &rem = remotes[o == objects.end() ? "" : o->second.address];
				if (o == objects.end() || !rem.pairError.empty())
					return;
				// Its services read as it pairs, its Device ID among them.
				o->second.paired = o->second.hid = o->second.resolved = true;
				o->second.modalias = rem.modalias;
				changed(path, propsOf(o->second));
			});
			answer(r->pairTakes, r->pairError);
			break;
		case BusCall::Connect:
			if (unreachable("org.bluez.Error.Failed"))
				break;
			after(r->connectTakes, [this, path = c.path, changed] {
				auto o = objects.find(path);
				if (o == objects.end())
					return;
				o->second.connected = true;
				connectedAt[o->second.address] =
				    static_cast<int>(std::chrono::duration_cast<Ms>(clock.t - began).count());
				Props p;
				p.connected = true;
				changed(path, p);
			});
			answer(r->connectTakes, "");
			break;
		case BusCall::Trust:
			if (device) {
				it->second.trusted = c.flag;
				Props p;
				p.trusted = c.flag;
				changed(c.path, p);
			}
			answer(Ms(1), device ? "" : "org.freedesktop.DBus.Error.UnknownObject");
			break;
		case BusCall::Remove:
			if (objects.erase(c.arg)) {
				BusEvent e{BusEvent::Removed};
				e.path = c.arg;
				e.device = true;
				signal(e);
			}
			answer(Ms(1), "");
			break;
		case BusCall::AskModalias:
			answer(Ms(2), "", [this, path = c.path](BusEvent &e) {
				auto o = objects.find(path);
				e.value = o == objects.end() ? "" : o->second.modalias;
			});
			break;
		default:
			answer(Ms(1), "");
		}
		return id;
	};
	port.forget = [](uint64_t) {};
	port.take = [this](std::vector<BusEvent> &events) {
		char buf[64];
		while (read(wake[0], buf, sizeof buf) > 0) {
		}
		for (BusEvent &e : queue)
			events.push_back(std::move(e));
		queue.clear();
		return true;
	};
	port.waitOn = [this](pollfd &p, Time &due) {
		p = {wake[0], POLLIN, 0};
		due = kNever;
	};
	return port;
}

HciPort SimBluetooth::hci()
{
	HciPort port;
	port.open = [this](int, const std::string &, std::string &why, int &error) {
		int pair[2];
		if (!socket || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) < 0) {
			error = EPERM;
			why = "Operation not permitted";
			return Socket();
		}
		controller = pair[1];
		return Socket(pair[0]);
	};
	port.reach = [this](const std::string &, const std::string &address) {
		note("page " + address);
		// Paged, a remote in SYNC mode connects, and bluetoothd adds it.
		after(Ms(200), [this, address] {
			SimRemote &rem = remotes[address];
			if (!rem.pressed || !running)
				return;
			Device &d = objects[pathOf(address)];
			d = Device{};
			d.adapter = kAdapterPath, d.address = address, d.name = rem.name, d.connected = true;
			d.deviceClass = rem.deviceClass;
			BusEvent e{BusEvent::Added};
			e.path = pathOf(address);
			e.device = true;
			e.props = propsOf(d);
			signal(e);
		});
		// The far end of the connection stays with the simulation.
		int ends[2];
		if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) < 0)
			return Socket();
		farEnds.push_back(ends[1]);
		return Socket(ends[0]);
	};
	return port;
}

void SimBluetooth::pump()
{
	uint8_t c[260];
	for (ssize_t n; controller >= 0 && (n = read(controller, c, sizeof c)) >= 4;) {
		uint16_t opcode = static_cast<uint16_t>(c[1] | c[2] << 8);
		if (opcode == 0x0402) { // cancelled: its end at once
			note("inquiry cancelled");
			++inquiry;
			put(controller, {0x04, 0x0e, 4, 1, 0x02, 0x04, 0});
			continue;
		}
		if (opcode != 0x0401 || n < 9)
			continue;
		bool limited = c[4] == 0x00 && c[5] == 0x8b && c[6] == 0x9e;
		note(limited ? "inquiry limited" : "inquiry general");
		put(controller, {0x04, 0x0f, 4, static_cast<uint8_t>(busy ? 0x0c : 0), 1, 0x01, 0x04});
		if (busy)
			continue;
		int mine = ++inquiry;
		// Each remote in SYNC mode answers 100 ms in, an original and a
		// clone alike; the inquiry ends at its length.
		after(Ms(100), [this, mine] {
			for (auto &[address, rem] : remotes) {
				unsigned v[6];
				if (mine != inquiry || !rem.pressed ||
				    std::sscanf(address.c_str(), "%x:%x:%x:%x:%x:%x", &v[5], &v[4], &v[3], &v[2], &v[1], &v[0]) != 6)
					continue;
				std::vector<uint8_t> r = {0x04, 0x02, 15, 1};
				for (unsigned b : v)
					r.push_back(static_cast<uint8_t>(b));
				r.insert(r.end(), {1, 0, 0});
				r.insert(r.end(), {static_cast<uint8_t>(rem.deviceClass), static_cast<uint8_t>(rem.deviceClass >> 8),
				                   static_cast<uint8_t>(rem.deviceClass >> 16), 0, 0});
				put(controller, r);
			}
		});
		after(Ms(1280 * c[7]), [this, mine] {
			if (mine == inquiry)
				put(controller, {0x04, 0x01, 1, 0});
		});
	}
}

} // namespace wiiuse_linux
