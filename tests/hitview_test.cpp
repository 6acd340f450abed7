// hitview: its drawing, a pure function from what the remotes report and
// the window's size to the screen's lines; and the program itself over the
// scripted wiiuse, where its output is no terminal: one plain line for each
// change of what a remote sees.
#include "support/child.h"
#include "vista.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

Visto vede(std::vector<Punto> punti, int batteria = -1)
{
	Visto v;
	v.collegato = true;
	v.batteria = batteria;
	int slot = 0;
	for (Punto p : punti)
		v.sorgenti.push_back({++slot, p});
	return v;
}

void expectFits(const std::vector<std::string> &s, int colonne, int righe)
{
	ASSERT_EQ(s.size(), static_cast<size_t>(righe));
	for (const std::string &l : s)
		EXPECT_LE(l.size(), static_cast<size_t>(colonne)) << l;
}

TEST(HitviewDrawing, AnyWindowFrom40By12UpIsFilledWithEachSourceAtItsPlaceAndASmallerOneAsksForRoom)
{
	Scena s;
	s.adesso = 12.5;
	s.giocatore = vede({{0, 0}, {1023, 767}}, 96);
	s.giocatore.immutataDa = 8;
	std::vector<std::string> schermo = disegna(s, 80, 24);
	expectFits(schermo, 80, 24);
	// Player's 12 lines: title, frame (10), state; the robot's 11.
	EXPECT_EQ(schermo[0], "GIOCATORE  collegato, batteria 96%");
	EXPECT_EQ(schermo[1], "+" + std::string(78, '-') + "+");
	EXPECT_EQ(schermo[2], "|1" + std::string(77, ' ') + "|");
	EXPECT_EQ(schermo[9], "|" + std::string(77, ' ') + "2|");
	EXPECT_EQ(schermo[11], "Visto!  2 sorgenti  da 4 s  dist 1279 incl -37");
	EXPECT_EQ(schermo[12], "ROBOT  non collegato");
	EXPECT_EQ(schermo[17], "|" + std::string(32, ' ') + "non collegato" + std::string(33, ' ') + "|");
	EXPECT_EQ(schermo[22], "");
	EXPECT_EQ(schermo[23], "q esci  s segna le luci estranee  c cancella");

	s.giocatore = vede({{512, 384}, {520, 390}});
	s.robot = vede({{1023, 0}});
	for (auto [colonne, righe] : {std::pair{40, 12}, {200, 60}}) {
		schermo = disegna(s, colonne, righe);
		expectFits(schermo, colonne, righe);
		EXPECT_NE(schermo[0].find("batteria non ancora letta"), std::string::npos) << colonne;
	}
	// The smallest: two rows of field for the player's, one for the robot's.
	schermo = disegna(s, 40, 12);
	EXPECT_EQ(schermo[3], "|" + std::string(19, ' ') + "2" + std::string(18, ' ') + "|");
	EXPECT_EQ(schermo[8], "|" + std::string(37, ' ') + "1|");
	schermo = disegna(s, 39, 12);
	expectFits(schermo, 39, 12);
	EXPECT_EQ(schermo[0], "finestra troppo piccola: servono 40x12");
}

TEST(HitviewDrawing, EachCountOfSourcesHasItsVerdictAndAStrayOneIsNamed)
{
	const char *verdetti[] = {"Non vedo 2 led  0 sorgenti", "Non vedo 2 led  1 sorgente", "Visto!  2 sorgenti",
	                          "Non vedo 2 led (1 di troppo)  3 sorgenti", "Non vedo 2 led (2 di troppo)  4 sorgenti"};
	std::vector<Punto> punti = {{100, 100}, {300, 100}, {900, 700}, {500, 50}};
	for (size_t n = 0; n <= 4; ++n) {
		Scena s;
		s.giocatore = vede(std::vector<Punto>(punti.begin(), punti.begin() + static_cast<long>(n)));
		s.robot = s.giocatore;
		std::vector<std::string> schermo = disegna(s, 100, 30);
		EXPECT_EQ(schermo[14].rfind(verdetti[n], 0), 0u) << schermo[14];
		EXPECT_EQ(schermo[28].rfind(std::string(verdetti[n]).substr(std::string(verdetti[n]).find("  ") + 2), 0), 0u)
			<< "the robot's has no verdict: " << schermo[28];
	}
	// Marked with the robot's LEDs covered: the lamp's source, moved a
	// little, is named stray; where nothing shines now, the mark shows.
	Scena s;
	s.giocatore = vede({{100, 100}, {300, 100}, {905, 695}});
	s.giocatore.estranee = {{900, 700}, {10, 700}};
	std::vector<std::string> schermo = disegna(s, 100, 30);
	EXPECT_NE(schermo[14].find("estranee: 3"), std::string::npos) << schermo[14];
	EXPECT_EQ(schermo[12][1], 'x');
	EXPECT_EQ(riga("giocatore", s.giocatore, true),
	          "giocatore: 3 sorgenti 1=(100,100) 2=(300,100) 3=(905,695), Non vedo 2 led (1 di troppo), estranee: 3");
}

TEST(Hitview, WithoutATerminalItConnectsAsHitcheckAndSaysEachChangeOfWhatACameraSeesOnce)
{
	Child c;
	spawn(c, HITVIEW_SCRIPTED,
	      {"HITCHECK_SCENARIO=find 1 1\nconnect 1 1\nfind 2 1\nconnect 2 1\n"
	       "poll 1 1 event=1 dot0=300,400\npoll 1 1 event=1 dot1=520,410\npoll 1 1 event=1\n"
	       "poll 1 1 event=1 dot2=700,100\npoll 1 0\npoll 2 1 event=1 dot0=10,20\npoll 2 1 event=5 state=0\n",
	       "TERM=xterm"});
	ASSERT_TRUE(finish(c, milliseconds(10000)));
	EXPECT_EQ(exitCode(c), 0);
	std::string out;
	std::vector<std::string> calls;
	splitNotes(c.outText, out, calls);
	calls.erase(std::remove_if(calls.begin(), calls.end(), [](const std::string &n) { return n.rfind("poll", 0) == 0; }),
	            calls.end());
	EXPECT_EQ(calls, (std::vector<std::string>{"init(1)=g1", "find(g1,1,10)=1", "connect(g1,1)=1", "set_leds(g1,16)",
	                                           "set_ir(g1,1)", "init(1)=g2", "find(g2,1,10)=1", "connect(g2,1)=1",
	                                           "set_leds(g2,32)", "set_ir(g2,1)"}));
	EXPECT_EQ(out, "giocatore: 0 sorgenti, Non vedo 2 led\n"
	               "robot: 0 sorgenti\n"
	               "giocatore: 1 sorgente 1=(300,400), Non vedo 2 led\n"
	               "giocatore: 2 sorgenti 1=(300,400) 2=(520,410), Visto!, distanza 220, inclinazione -3 gradi\n"
	               "giocatore: 3 sorgenti 1=(300,400) 2=(520,410) 3=(700,100), Non vedo 2 led (1 di troppo)\n"
	               "robot: 1 sorgente 1=(10,20)\n"
	               "giocatore: non collegato\n"
	               "robot: non collegato\n");
	EXPECT_EQ(c.errText, "nessun wiimote collegato: hitview finisce; avvialo di nuovo e premi SYNC sui wiimote "
	                     "durante le ricerche\n");
}

// On a pseudo-terminal of 80 by 24: the view drawn, and again when the
// window shrinks; q ends it at once while the remotes still report, and the
// terminal is left as it was found.
TEST(Hitview, OnATerminalItDrawsTheViewAndQLeavesTheTerminalAsItWas)
{
	std::string scenario = "quiet\npoll-wait 100\nfind 1 1\nconnect 1 1\nfind 2 0\nconnect 2 0\n"
	                       "poll 1 1 event=1 dot0=300,400 dot1=520,410\n";
	for (int i = 0; i < 100; ++i)
		scenario += "poll 1 0\n";
	winsize ws{};
	ws.ws_col = 80;
	ws.ws_row = 24;
	int master = -1;
	pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		setenv("HITCHECK_SCENARIO", scenario.c_str(), 1);
		setenv("TERM", "xterm", 1);
		execl(HITVIEW_SCRIPTED, HITVIEW_SCRIPTED, static_cast<char *>(nullptr));
		_exit(127);
	}
	std::string shown;
	auto readFor = [&](int ms, const std::string &until) {
		for (int waited = 0; waited < ms && (until.empty() || shown.find(until) == std::string::npos); waited += 20) {
			pollfd p = {master, POLLIN, 0};
			char buf[4096];
			ssize_t n = poll(&p, 1, 20) > 0 ? read(master, buf, sizeof buf) : 0;
			if (n > 0)
				shown.append(buf, static_cast<size_t>(n));
			else if (n < 0)
				break;
		}
		return shown.find(until) != std::string::npos;
	};
	EXPECT_TRUE(readFor(5000, "Visto!  2 sorgenti"));
	EXPECT_NE(shown.find("GIOCATORE  collegato, batteria non ancora letta"), std::string::npos);
	// The window made the smallest: drawn again to fit it.
	ws.ws_col = 40;
	ws.ws_row = 12;
	ASSERT_EQ(ioctl(master, TIOCSWINSZ, &ws), 0);
	EXPECT_TRUE(readFor(3000, "GIOCATORE  batteria non ancora letta"));
	size_t before = shown.size();
	ASSERT_EQ(write(master, "q", 1), 1);
	int status = -1;
	pid_t ended = 0;
	for (int i = 0; i < 250 && (ended = waitpid(pid, &status, WNOHANG)) <= 0; ++i) {
		readFor(20, "");
		usleep(20000);
	}
	readFor(200, "");
	close(master);
	ASSERT_EQ(ended, pid) << "still running after q";
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0);
	// The alternate screen left, the cursor shown again.
	std::string after = shown.substr(before);
	EXPECT_NE(after.find("\x1b[?1049l"), std::string::npos);
	EXPECT_NE(after.find("\x1b[?25h"), std::string::npos);
}

} // namespace
