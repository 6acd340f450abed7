// The search through BlueZ, whole, on the test's clock: a simulated
// bluetoothd and controller behind its ports, the evening's timeline in
// milliseconds.
#include "bluez.h"
#include "internal.h"
#include "notices.h"
#include "ports.h"
#include "trustrecord.h"
#include "support/sim_bluetooth.h"

#include <gtest/gtest.h>
#include <wiiuse.h>

#include <cstdlib>
#include <fstream>

using namespace wiiuse_linux;

namespace {

const char kOriginal[] = "00:19:1D:00:00:01", kClone[] = "00:19:1D:00:00:02";

struct Search : testing::Test {
	Sim clock;
	std::string root;
	std::unique_ptr<SimBluetooth> air;

	void SetUp() override
	{
		char dir[] = "/tmp/wiiuse-search-XXXXXX";
		root = mkdtemp(dir);
		setenv("XDG_STATE_HOME", root.c_str(), 1);
		sim = &clock;
		useClock({simNow, simWait});
		forgetNotices();
		fresh();
	}
	// Another evening's air: nothing planned for the last one happens.
	void fresh()
	{
		clock.plan.clear();
		clock.watchers.clear();
		air = std::make_unique<SimBluetooth>(clock);
	}
	void TearDown() override
	{
		clock.plan.clear();
		clock.watchers.clear();
		air.reset();
		useClock(realClock());
		std::system(("rm -rf " + root).c_str());
	}
	Time at(int ms) { return air->began + Ms(ms); }
	// A search of `seconds` for `want` remotes, each taken (bound by the
	// driver, answering) as it connects; what it said on standard error.
	std::string search(int seconds, int want, std::function<void(BluezSearch &)> meanwhile = nullptr)
	{
		testing::internal::CaptureStderr();
		Time deadline = clock.t + std::chrono::seconds(seconds);
		{
			auto s = startBluezSearch(air->bus(), air->hci(), root, deadline, true);
			std::set<std::string> taken;
			while (static_cast<int>(air->connectedAt.size()) < want && clock.t < deadline + std::chrono::seconds(16)) {
				Time until = clock.t < deadline ? std::min(clock.t + Ms(1000), deadline) : clock.t + Ms(1000);
				stepBluezSearch(*s, until, deadline, want - static_cast<int>(taken.size()));
				if (meanwhile)
					meanwhile(*s);
				for (auto &[address, ms] : air->connectedAt)
					if (taken.insert(address).second)
						tookRemote(*s, lower(address), true);
				if (clock.t >= deadline && !owesRemotes(*s, clock.t))
					break;
			}
		}
		return testing::internal::GetCapturedStderr();
	}
};

TEST_F(Search, TheLimitedInquiryFromTheFirstMomentFindsAnOriginalAndACloneAlikeAndAPageHoldsTheRadio)
{
	air->press(kOriginal);
	air->remotes[kClone].general = false;
	air->remotes[kClone].modalias = ""; // and no Device ID: connected once its services are read
	air->press(kClone);
	EXPECT_EQ(search(10, 2), "");
	// No general discovery at all: the limited inquiry begins as soon as the
	// adapter is known, and hears both.
	EXPECT_EQ(air->firstAt("inquiry limited"), 5);
	EXPECT_EQ(air->count("StartDiscovery") + air->count("inquiry general"), 0);
	ASSERT_EQ(air->connectedAt.size(), 2u);
	int original = air->connectedAt[kOriginal], clone = air->connectedAt[kClone];
	EXPECT_LE(original, 1200);
	EXPECT_LE(clone, 1.25 * original + 800); // its turn after the original's
	// Each Device ID asked for once, then awaited on BlueZ's signal.
	EXPECT_EQ(air->count("Modalias"), 2);
	// Trusted once taken, and recorded.
	EXPECT_TRUE(air->objects[pathOf(kOriginal)].trusted && air->objects[pathOf(kClone)].trusted);
	EXPECT_EQ(readTrustRecord().addresses, (std::set<std::string>{kOriginal, kClone}));
	// While a device is paged, no inquiry begins: none between the pages
	// and bluetoothd's adding the devices they reached.
	int paged = air->firstAt("page"), added = paged + 200;
	for (const std::string &l : air->log) {
		if (l.find(" inquiry limited") != std::string::npos) {
			EXPECT_TRUE(std::stoi(l) <= paged || std::stoi(l) >= added) << l;
		}
	}
}

TEST_F(Search, ATurnGivesWayToARemotePressedAfterItsBudgetAndNoneBeginsAfterTheDeadline)
{
	// A look-alike whose pairing stalls 6 s, then the original pressed.
	air->remotes[kClone].pairTakes = Ms(6000);
	air->press(kClone);
	air->after(Ms(1000), [&] { air->press(kOriginal); });
	EXPECT_EQ(search(6, 1), "");
	ASSERT_EQ(air->connectedAt.count(kOriginal), 1u);
	int cut = air->firstAt("CancelPairing") - air->firstAt("Pair");
	EXPECT_GE(cut, 4000);
	EXPECT_LT(cut, 4100);
	EXPECT_LT(air->connectedAt[kOriginal], 5000);
	for (const std::string &l : air->log) {
		if (l.find(" Pair ") != std::string::npos) {
			EXPECT_LT(std::stoi(l), 6000) << l;
		}
	}
}

TEST_F(Search, ARefusedInquiryHandsTheSearchToBluetoothdsDiscoveryWhichHearsOnlyTheOriginal)
{
	air->busy = true;
	air->press(kOriginal);
	air->remotes[kClone].general = false;
	air->press(kClone);
	EXPECT_EQ(search(4, 2), "ricerca limitata rifiutata da /org/bluez/hci0: un altro programma sta cercando "
	                        "dispositivi Bluetooth (le impostazioni Bluetooth aperte, bluetoothctl scan on); "
	                        "chiudilo, o i wiimote che rispondono solo a quella non saranno trovati\n");
	EXPECT_EQ(air->count("SetDiscoveryFilter"), 1);
	EXPECT_EQ(air->count("StopDiscovery"), 1);
	EXPECT_EQ(air->connectedAt.count(kOriginal), 1u);
	EXPECT_EQ(air->connectedAt.count(kClone), 0u);
	// Without a raw socket, the same, said as unavailable.
	fresh();
	air->socket = false;
	air->press(kOriginal);
	EXPECT_EQ(search(4, 1), "ricerca limitata non disponibile su /org/bluez/hci0: Operation not permitted "
	                        "(i wiimote che rispondono solo a quella non saranno trovati)\n");
	EXPECT_EQ(air->connectedAt.count(kOriginal), 1u);
}

TEST_F(Search, ARestartedBluetoothdIsSearchedAnewAndItsFaultsAreNeverTheRemotes)
{
	// bluetoothd stops as the clone pairs, and comes back 2 s later.
	air->remotes[kClone].general = false;
	air->remotes[kClone].pairTakes = Ms(1000);
	air->press(kClone);
	air->after(Ms(500), [&] { air->restart(Ms(2000)); });
	std::string err = search(10, 1);
	EXPECT_EQ(err, "bluetoothd non risponde più durante la ricerca (bluetoothd si è chiuso): la ricerca riprende "
	               "quando torna; se non torna, da root: systemctl restart bluetooth\n");
	EXPECT_EQ(air->connectedAt.count(kClone), 1u);
	EXPECT_GE(air->count("GetManagedObjects"), 2);
	// An adapter switched off rests the radio, quietly, until it is on.
	fresh();
	air->after(Ms(500), [&] { air->power(false); });
	air->after(Ms(2500), [&] { air->power(true); });
	air->after(Ms(3000), [&] { air->press(kOriginal); });
	EXPECT_EQ(search(8, 1), "");
	EXPECT_EQ(air->connectedAt.count(kOriginal), 1u);
	for (const std::string &l : air->log) {
		if (l.find(" inquiry limited") != std::string::npos) {
			EXPECT_TRUE(std::stoi(l) < 500 || std::stoi(l) >= 2500) << l;
		}
	}
	// A device removed as it pairs is not tried again, nor hinted at.
	fresh();
	air->press(kOriginal);
	air->remotes[kOriginal].pairTakes = Ms(500);
	air->after(Ms(500), [&] {
		air->objects.erase(pathOf(kOriginal));
		air->remotes[kOriginal].pressed = false;
		BusEvent e{BusEvent::Removed};
		e.path = pathOf(kOriginal);
		e.device = true;
		air->signal(e);
	});
	err = search(6, 1);
	EXPECT_EQ(err, "");
	EXPECT_EQ(air->count("Pair"), 1);
}

TEST_F(Search, TrustFollowsWhatADeviceIsNowAndAnObjectAddedAgainIsJudgedFromNothing)
{
	// Trusted by the library as a remote, it now presents a keyboard's class:
	// its trust and pairing go, once said; a device trusted by hand stays.
	TrustRecord record = readTrustRecord();
	record.addresses = {kOriginal};
	ASSERT_TRUE(writeTrustRecord(record));
	air->press(kOriginal, true, true);
	air->objects[pathOf(kOriginal)].deviceClass = 0x002540;
	air->objects[pathOf(kOriginal)].name = "Keyboard K120";
	air->press("00:11:22:33:44:55", true, true);
	air->objects[pathOf("00:11:22:33:44:55")].name = "Nintendo RVL-CNT-01";
	air->objects[pathOf("00:11:22:33:44:55")].deviceClass = 0x002540;
	EXPECT_EQ(search(2, 1), "il dispositivo Keyboard K120 (00:19:1D:00:00:01) non si presenta più come un "
	                        "wiimote: tolti la fiducia e l'associazione\n");
	EXPECT_EQ(air->count("Trusted " + pathOf(kOriginal) + " false"), 1);
	EXPECT_EQ(air->count("RemoveDevice /org/bluez/hci0 " + pathOf(kOriginal)), 1);
	EXPECT_TRUE(air->objects[pathOf("00:11:22:33:44:55")].trusted);
	EXPECT_TRUE(readTrustRecord().addresses.empty());

	// A remote's Device ID that turns into a keyboard's as it connects:
	// disconnected, never trusted.
	fresh();
	air->press(kClone, true);
	air->remotes[kClone].connectTakes = Ms(400);
	air->after(Ms(300), [&] {
		BusEvent e{BusEvent::Changed};
		e.path = pathOf(kClone);
		e.props.modalias = air->objects[pathOf(kClone)].modalias = "usb:v046DpC52Bd1200";
		air->signal(e);
	});
	search(3, 1);
	EXPECT_EQ(air->count("Connect " + pathOf(kClone)), 1);
	EXPECT_EQ(air->count("Disconnect " + pathOf(kClone)), 1);
	EXPECT_EQ(air->count("Trusted"), 0);

	// Removed and added again at the same path with no Device ID, the old
	// object's Nintendo Device ID is not its own.
	fresh();
	air->press(kClone, true);
	air->remotes[kClone].pressed = false;
	search(2, 1, [&](BluezSearch &) {
		if (air->count("Removed"))
			return;
		air->note("Removed");
		air->remotes[kClone].pressed = true;
		BusEvent gone{BusEvent::Removed};
		gone.path = pathOf(kClone);
		gone.device = true;
		air->signal(gone);
		BusEvent back{BusEvent::Added};
		back.path = pathOf(kClone);
		back.device = true;
		back.props.address = kClone;
		back.props.adapter = "/org/bluez/hci0";
		back.props.name = "Nintendo RVL-CNT-01";
		back.props.paired = true;
		back.props.deviceClass = 0x002540;
		back.props.hid = true;
		air->objects[pathOf(kClone)].modalias.clear();
		air->objects[pathOf(kClone)].deviceClass = 0x002540;
		air->signal(back);
	});
	EXPECT_EQ(air->count("Connect"), 0);
	EXPECT_EQ(air->count("Trusted"), 0);
}

} // namespace

TEST_F(Search, ASearchThatHearsNothingSaysWhatToCheckFirstOnce)
{
	static SimBluetooth *current;
	current = air.get();
	BluetoothPorts before = bluetooth();
	useBluetooth({[](std::string &) { return current->bus(); }, [] { return current->hci(); }});
	useRoots(root + "/sys", root + "/dev");
	std::system(("mkdir -p " + root + "/sys/class/bluetooth/hci0 " + root + "/sys/bus/hid/drivers/wiimote").c_str());
	testing::internal::CaptureStderr();
	wiimote_t **player = wiiuse_init(1), **robot = wiiuse_init(1);
	EXPECT_EQ(wiiuse_find(player, 1, 2) + wiiuse_find(robot, 1, 2), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "nessun wiimote trovato: premi il tasto rosso SYNC sotto il coperchio delle batterie nei primi secondi "
	          "della ricerca (i LED lampeggiano finché si associa); se non lampeggiano, cambia le batterie\n");
	useBluetooth(before);
	forgetAll();
}
