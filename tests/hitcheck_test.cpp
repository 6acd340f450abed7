// hitcheck run as a child process over the scripted wiiuse: its exact output,
// the library calls it makes, and how the two interleave.
#include "support/child.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

struct Outcome {
	int code = -1;
	std::string combined; // output with the library's call notes in place
	std::string out;      // the program's own output
	std::string err;
	std::vector<std::string> calls;
	double seconds = 0;
};

Outcome run(const std::string &scenario)
{
	Child c;
	auto start = std::chrono::steady_clock::now();
	spawn(c, HITCHECK_SCRIPTED, {"HITCHECK_SCENARIO=" + scenario});
	EXPECT_TRUE(finish(c, milliseconds(20000))) << "hitcheck did not end";
	Outcome r;
	r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	r.code = exitCode(c);
	r.combined = c.outText;
	r.err = c.errText;
	splitNotes(r.combined, r.out, r.calls);
	return r;
}

// Both remotes found and connected.
const std::string kBoth = "find 1 1\nconnect 1 1\nfind 2 1\nconnect 2 1\n";

const std::string kStartup = "inizializzazione wiimote_player...\n"
                             "numero di wiimote trovati: 1 \n"
                             "Connesso a 1 wiimote_player di 1 trovati.\n"
                             "inizializzazione wiimote_robot...\n"
                             "numero di wiimote trovati: 1\n"
                             "Connesso a 1 wiimote_robot di 1 trovati.\n";

const std::string kEvent = "Evento generico, verifichiamo... \n";
const std::string kStatus = "Richiesta evento di stato, ecco i dati... \n";

std::vector<std::string> pollsOf(const Outcome &r)
{
	std::vector<std::string> polls;
	for (const std::string &c : r.calls)
		if (c.rfind("poll", 0) == 0 || c.rfind("set_ir", 0) == 0)
			polls.push_back(c);
	return polls;
}

TEST(HitcheckStartup, WithNoRemoteReportsBothFailuresStillLightsAndRumblesAndExits)
{
	Outcome r = run("find 1 0\nconnect 1 0\nfind 2 0\nconnect 2 0\n");
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.combined, "\x1einit(1)=g1\n"
	                      "inizializzazione wiimote_player...\n"
	                      "\x1e" "find(g1,1,10)=0\n"
	                      "numero di wiimote trovati: 0 \n"
	                      "\x1e" "connect(g1,1)=0\n"
	                      "Connessione non riuscita con nessun wiimote.\n"
	                      "\x1eset_leds(g1,16)\n"
	                      "\x1einit(1)=g2\n"
	                      "inizializzazione wiimote_robot...\n"
	                      "\x1e" "find(g2,1,10)=0\n"
	                      "numero di wiimote trovati: 0\n"
	                      "\x1e" "connect(g2,1)=0\n"
	                      "Connessione non riuscita con nessun wiimote.\n"
	                      "\x1eset_leds(g2,32)\n"
	                      "\x1erumble(g1,1)\n"
	                      "\x1erumble(g2,1)\n"
	                      "\x1erumble(g1,0)\n"
	                      "\x1erumble(g2,0)\n");
	// What to do next goes to standard error.
	EXPECT_EQ(r.err, "nessun wiimote del giocatore: la partita non comincia; avvia di nuovo hitcheck e premi SYNC "
	                 "sul wiimote del giocatore durante la prima ricerca\n");
}

TEST(HitcheckStartup, WithBothRemotesConnectsLightsRumbles200msThenPolls)
{
	Outcome r = run(kBoth);
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, kStartup);
	EXPECT_EQ(r.calls, (std::vector<std::string>{
	                       "init(1)=g1", "find(g1,1,10)=1", "connect(g1,1)=1", "set_leds(g1,16)",
	                       "init(1)=g2", "find(g2,1,10)=1", "connect(g2,1)=1", "set_leds(g2,32)",
	                       "rumble(g1,1)", "rumble(g2,1)", "rumble(g1,0)", "rumble(g2,0)",
	                       "poll(g1,1)=0", "poll(g2,1)=0"}));
	EXPECT_GE(r.seconds, 0.2);
}

TEST(HitcheckStartup, CountsAreReportedAsTheLibraryGivesThem)
{
	Outcome r = run("find 1 1\nconnect 1 0\nfind 2 3\nconnect 2 2\n");
	EXPECT_EQ(r.out, "inizializzazione wiimote_player...\n"
	                 "numero di wiimote trovati: 1 \n"
	                 "Connessione non riuscita con nessun wiimote.\n"
	                 "inizializzazione wiimote_robot...\n"
	                 "numero di wiimote trovati: 3\n"
	                 "Connesso a 2 wiimote_robot di 3 trovati.\n");
	EXPECT_EQ(r.code, 0);
}

TEST(HitcheckStartup, AGroupThatCannotBeCreatedEndsTheProgramWithStatus1)
{
	Outcome player = run("init-fails 1\n");
	EXPECT_EQ(player.code, 1);
	EXPECT_EQ(player.out, "");
	EXPECT_EQ(player.calls, std::vector<std::string>{"init(1)=null"});
	EXPECT_NE(player.err.find("wiimote_player"), std::string::npos) << player.err;

	Outcome robot = run("init-fails 2\n" + kBoth);
	EXPECT_EQ(robot.code, 1);
	EXPECT_EQ(robot.calls.back(), "init(1)=null");
	EXPECT_EQ(robot.out, kStartup.substr(0, kStartup.find("inizializzazione wiimote_robot")));
	EXPECT_NE(robot.err.find("wiimote_robot"), std::string::npos) << robot.err;
	EXPECT_EQ(robot.err.find('\n'), robot.err.size() - 1) << "one line: " << robot.err;
}

TEST(HitcheckStartup, OutputIsNotHeldBackSoItSurvivesAnInterrupt)
{
	Child c;
	spawn(c, HITCHECK_SCRIPTED, {"HITCHECK_SCENARIO=quiet\nhang\n" + kBoth + "poll 1 1 event=1\n"});
	std::string expected = kStartup + kEvent + "\n\n--- EVENT [id 1] ---\nNon vedo 2 led...";
	bool seen = readUntil(c, [&](const std::string &out) { return out == expected; },
	                      milliseconds(10000));
	EXPECT_TRUE(seen) << "got only: " << c.outText;
	stop(c, SIGINT);
	EXPECT_TRUE(WIFSIGNALED(c.status));
}

TEST(HitcheckStartup, ANonBlockingStandardOutputWhoseReaderPausesLosesNoLine)
{
	// Far more reports than a pipe holds, written while its reader pauses.
	std::string polls, expected = kStartup;
	for (int i = 0; i < 3000; ++i) {
		polls += "poll 1 1 event=1 btns=" + std::string(i % 2 ? "0" : "0x8") + "\n";
		expected += kEvent + "\n\n--- EVENT [id 1] ---\n" + (i % 2 ? "" : "A pressed\n") + "Non vedo 2 led...";
	}
	Child c;
	spawn(c, HITCHECK_SCRIPTED, {"HITCHECK_SCENARIO=quiet\n" + kBoth + polls},
	      [] { return fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) == 0; });
	usleep(1500000);
	EXPECT_TRUE(finish(c, milliseconds(20000)));
	EXPECT_EQ(exitCode(c), 0);
	EXPECT_TRUE(c.outText == expected) << c.outText.size() << " of " << expected.size() << " bytes";
}

class HitVerdict : public testing::TestWithParam<int> {};

TEST_P(HitVerdict, OnlyExactlyTwoSourcesAreAHit)
{
	int dots = GetParam();
	std::string sources;
	for (int i = 0; i < dots; ++i)
		sources += " dot" + std::to_string(i) + "=" + std::to_string(100 * i) + "," +
		           std::to_string(10 * i);
	Outcome r = run(kBoth + "poll 1 1 event=1 state=0x88 btns=0x8 dots=" + std::to_string(dots) +
	            sources + " irx=50 iry=5 irz=1.5\npoll 1 1 event=1 btns=0\n");
	std::string lines;
	for (int i = 0; i < dots; ++i)
		lines += "IR source " + std::to_string(i) + ": (" + std::to_string(100 * i) + ", " +
		         std::to_string(10 * i) + ")\n";
	std::string report = "\n\n--- EVENT [id 1] ---\nA pressed\n" + lines +
	                     "IR cursor: (50, 5)\nIR z distance: 1.500000\n";
	// The next event leaves the camera's view as it was.
	std::string report2 = "\n\n--- EVENT [id 1] ---\n" + lines +
	                      "IR cursor: (50, 5)\nIR z distance: 1.500000\n";
	std::string verdict = dots == 2 ? "Visto! \n" : "Non vedo 2 led...";
	EXPECT_EQ(r.out, kStartup + kEvent + report + verdict + kEvent + report2 + verdict);
	EXPECT_EQ(r.code, 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, HitVerdict, testing::Values(0, 1, 2, 3, 4));

TEST(HitcheckEvents, UpSwitchesInfraredOnOnceDownOffAndBothTogetherLeaveItOff)
{
	Outcome r = run(kBoth + "poll 1 1 event=1 btns=0x800 held=0 dots=1 dot2=7,8 irx=7 iry=8 irz=3\n"
	                    "poll 1 1 event=1 btns=0x800 held=0x800\n"
	                    "poll 1 1 event=1 btns=0x400 held=0\n"
	                    "poll 1 1 event=1 btns=0xC00 held=0\n"
	                    "poll 1 1 event=1 btns=0x400 held=0x400\n");
	std::string ir = "IR source 2: (7, 8)\nIR cursor: (7, 8)\nIR z distance: 3.000000\n";
	std::string head = "\n\n--- EVENT [id 1] ---\n";
	std::string miss = "Non vedo 2 led...";
	EXPECT_EQ(r.out, kStartup + kEvent + head + "UP pressed\n" + ir + miss + kEvent + head +
	                     "UP pressed\n" + ir + miss + kEvent + head + "DOWN pressed\n" + miss +
	                     kEvent + head + "UP pressed\nDOWN pressed\n" + miss + kEvent + head +
	                     "DOWN pressed\n" + miss);
	EXPECT_EQ(pollsOf(r), (std::vector<std::string>{
	                          "poll(g1,1)=1", "set_ir(g1,1)", "poll(g1,1)=1", "poll(g1,1)=1",
	                          "set_ir(g1,0)", "poll(g1,1)=1", "set_ir(g1,1)", "set_ir(g1,0)",
	                          "poll(g1,1)=1", "poll(g1,1)=0", "poll(g2,1)=0"}));
}

TEST(HitcheckEvents, EveryPressedButtonIsListedInTheFixedOrder)
{
	Outcome r = run(kBoth + "poll 1 1 event=1 btns=0x1F9F held=0x1F9F\n");
	EXPECT_EQ(r.out, kStartup + kEvent +
	                     "\n\n--- EVENT [id 1] ---\nA pressed\nB pressed\nUP pressed\n"
	                     "DOWN pressed\nLEFT pressed\nRIGHT pressed\nMINUS pressed\n"
	                     "PLUS pressed\nONE pressed\nTWO pressed\nHOME pressed\n"
	                     "Non vedo 2 led...");
}

TEST(HitcheckEvents, SourcesKeepTheirSlotNumbersAndTheCursorIsUnsigned)
{
	Outcome r = run(kBoth + "poll 1 1 event=1 state=0x88 dots=2 dot1=1023,767 dot3=0,1 irx=-1 "
	                    "iry=384 irz=-2.25\n");
	EXPECT_EQ(r.out, kStartup + kEvent +
	                     "\n\n--- EVENT [id 1] ---\nIR source 1: (1023, 767)\n"
	                     "IR source 3: (0, 1)\nIR cursor: (4294967295, 384)\n"
	                     "IR z distance: -2.250000\nVisto! \n");
}

TEST(HitcheckEvents, StatusReportLinesUpItsValuesAndShowsFlagsAsBits)
{
	Outcome r = run(kBoth + "poll 1 1 event=2 state=0x188 exp=1 leds=0x50 battery=75.5 dots=2\n"
	                    "poll 1 1 event=2 state=0x08 exp=0 leds=0xA0 battery=0\n");
	EXPECT_EQ(r.out, kStartup + kStatus +
	                     "\n\n--- CONTROLLER STATUS [wiimote id 1] ---\n"
	                     "attachment:      1\n"
	                     "speaker:         1\n"
	                     "ir:              1\n"
	                     "leds:            1 0 1 0\n"
	                     "battery:         75.500000 %\n" +
	                     kStatus +
	                     "\n\n--- CONTROLLER STATUS [wiimote id 1] ---\n"
	                     "attachment:      0\n"
	                     "speaker:         0\n"
	                     "ir:              0\n"
	                     "leds:            0 1 0 1\n"
	                     "battery:         0.000000 %\n");
}

TEST(HitcheckLoop, RobotIsPolledOnlyWhenThePlayerIsQuietYetItsEventIsAlwaysExamined)
{
	Outcome r = run(kBoth + "poll 1 0\n"
	                    "poll 2 1 event=1 btns=0x8\n"
	                    "poll 1 1 event=1 btns=0x4 dots=2\n"
	                    "poll 1 1 event=2 state=0x08\n");
	std::string robotA = "\n\n--- EVENT [id 2] ---\nA pressed\n";
	EXPECT_EQ(r.out, kStartup + kEvent + robotA + kEvent +
	                     "\n\n--- EVENT [id 1] ---\nB pressed\nVisto! \n" + kEvent + robotA +
	                     kStatus + "\n\n--- CONTROLLER STATUS [wiimote id 1] ---\n"
	                     "attachment:      0\nspeaker:         0\nir:              0\n"
	                     "leds:            1 0 0 0\nbattery:         0.000000 %\n" +
	                     kEvent + robotA);
	EXPECT_EQ(pollsOf(r), (std::vector<std::string>{"poll(g1,1)=0", "poll(g2,1)=1",
	                                                "poll(g1,1)=1", "poll(g1,1)=1",
	                                                "poll(g1,1)=0", "poll(g2,1)=0"}));
}

TEST(HitcheckLoop, RobotEventsAreReportedWithoutAHitTest)
{
	Outcome r = run(kBoth + "poll 1 0\npoll 2 1 event=1 btns=0x1 dots=2\n"
	                    "poll 1 0\npoll 2 1 event=2 exp=2 battery=12.5\n");
	EXPECT_EQ(r.out, kStartup + kEvent + "\n\n--- EVENT [id 2] ---\nTWO pressed\n" + kStatus +
	                     "\n\n--- CONTROLLER STATUS [wiimote id 2] ---\n"
	                     "attachment:      2\nspeaker:         0\nir:              0\n"
	                     "leds:            0 1 0 0\nbattery:         12.500000 %\n");
}

TEST(HitcheckLoop, PlayerDisconnectEndsTheProgramWhileTheRobotStays)
{
	Outcome r = run(kBoth + "poll 1 0\npoll 2 1 event=1 btns=0x8\n"
	                    "poll 1 0 state=0\npoll 2 1 event=2\n"
	                    "poll 1 1 event=1\npoll 2 1 event=1\n");
	EXPECT_EQ(r.code, 0);
	// The pass that notices the loss still ends; then no further poll.
	EXPECT_EQ(pollsOf(r), (std::vector<std::string>{"poll(g1,1)=0", "poll(g2,1)=1",
	                                                "poll(g1,1)=0", "poll(g2,1)=1"}));
	EXPECT_EQ(r.out.substr(kStartup.size()),
	          kEvent + "\n\n--- EVENT [id 2] ---\nA pressed\n" + kStatus +
	              "\n\n--- CONTROLLER STATUS [wiimote id 2] ---\n"
	              "attachment:      0\nspeaker:         0\nir:              0\n"
	              "leds:            0 1 0 0\nbattery:         0.000000 %\n");
	EXPECT_EQ(r.err, "la telecamera del wiimote del giocatore è spenta, e finché lo è ogni suo evento dice \"Non "
	                 "vedo 2 led...\": premi SU sulla croce per accenderla, GIÙ per spegnerla\n"
	                 "partita finita: il wiimote del giocatore non è più collegato; per la prossima avvia di nuovo "
	                 "hitcheck e, durante la prima ricerca, premi un tasto del wiimote (SYNC se non torna)\n");
}

TEST(HitcheckLoop, WithoutTheRobotThePlayerIsReportedAsUsual)
{
	Outcome r = run("find 1 1\nconnect 1 1\nfind 2 0\nconnect 2 0\n"
	            "poll 1 1 event=1 state=0x88 dots=2 dot0=1,2 dot1=3,4 irx=2 iry=3 irz=1021\n");
	EXPECT_EQ(r.out, "inizializzazione wiimote_player...\n"
	                 "numero di wiimote trovati: 1 \n"
	                 "Connesso a 1 wiimote_player di 1 trovati.\n"
	                 "inizializzazione wiimote_robot...\n"
	                 "numero di wiimote trovati: 0\n"
	                 "Connessione non riuscita con nessun wiimote.\n" +
	                     kEvent +
	                     "\n\n--- EVENT [id 1] ---\nIR source 0: (1, 2)\nIR source 1: (3, 4)\n"
	                     "IR cursor: (2, 3)\nIR z distance: 1021.000000\nVisto! \n");
	EXPECT_EQ(r.code, 0);
}

} // namespace
