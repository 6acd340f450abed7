// hitview: shows what each remote's camera sees, live, with the game's
// verdict, so that the robot's LEDs can be placed and stray light found
// before the players come. On a terminal, a view drawn with ncurses;
// anywhere else, one plain line per change of what a remote sees.
#include "standard_streams.h"
#include "terminale.h"
#include "vista.h"

#include <wiiuse.h>

#include <cstdio>
#include <ctime>
#include <curses.h>

namespace {

constexpr int kAttesaRicerca = 10;           // seconds, each search, as hitcheck's
constexpr double kFraDueDisegni = 1.0 / 30;  // the view is drawn 30 times a second at most
constexpr double kDettoPer = 10;             // a line of the library's stays on the view, s
constexpr int kConnesso = 0x08, kInfrarossi = 0x80;

double adesso()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Finds and connects one remote, as hitcheck does, and switches its camera on.
struct wiimote_t **prepara(const char *nome, int led)
{
	struct wiimote_t **g = wiiuse_init(1);
	if (!g) {
		std::fprintf(stderr, "impossibile creare il gruppo di %s: wiiuse_init non ha restituito nessun wiimote\n", nome);
		return nullptr;
	}
	wiiuse_find(g, 1, kAttesaRicerca);
	if (wiiuse_connect(g, 1)) {
		wiiuse_set_leds(g[0], led);
		wiiuse_set_ir(g[0], 1);
	}
	return g;
}

// What the record says now; true when what it sees changed.
bool aggiorna(Visto &v, const struct wiimote_t *wm, double t)
{
	Visto prima = v;
	v.collegato = wm->state & kConnesso;
	if (wm->event == WIIUSE_STATUS || wm->battery_level > 0)
		v.batteria = static_cast<int>(wm->battery_level + 0.5f);
	v.sorgenti.clear();
	if (v.collegato && (wm->state & kInfrarossi))
		for (int i = 0; i < 4; ++i)
			if (wm->ir.dot[i].visible)
				v.sorgenti.push_back({i + 1, {static_cast<int>(wm->ir.dot[i].x), static_cast<int>(wm->ir.dot[i].y)}});
	if (!cambiato(prima, v))
		return false;
	v.immutataDa = t;
	return true;
}

// The first `colonne` columns of a UTF-8 line, never half a character.
std::string inColonne(const std::string &t, int colonne)
{
	size_t fine = 0;
	for (int n = 0; fine < t.size(); ++fine)
		if ((static_cast<unsigned char>(t[fine]) & 0xC0) != 0x80 && ++n > colonne)
			break;
	return t.substr(0, fine);
}

bool connesso(struct wiimote_t **g)
{
	return g[0]->state & kConnesso;
}

// The keys: q quits; s marks what each camera sees now as stray light (the
// robot's LEDs covered meanwhile), c forgets the marks.
bool premuti(Scena &s)
{
	for (int c : tasti()) {
		if (c == 'q' || c == 'Q')
			return false;
		for (Visto *v : {&s.giocatore, &s.robot}) {
			if (c == 's' || c == 'S')
				for (const Sorgente &so : v->sorgenti)
					v->estranee.push_back(so.dove);
			if (c == 'c' || c == 'C')
				v->estranee.clear();
		}
	}
	return true;
}

} // namespace

int main()
{
	if (!fillStandardStreams())
		return 1;
	std::setvbuf(stdout, nullptr, _IOLBF, 0);
	struct wiimote_t **giocatore = prepara("wiimote_player", WIIMOTE_LED_1);
	if (!giocatore)
		return 1;
	struct wiimote_t **robot = prepara("wiimote_robot", WIIMOTE_LED_2);
	if (!robot)
		return 1;
	prendiSegnali();
	bool vista = terminaleDisponibile() && entra();
	Scena scena;
	double t = adesso(), disegnata = 0, dettoAlle = 0;
	std::string detto;
	bool daDisegnare = true, primo = true;
	while (!segnale && (connesso(giocatore) || connesso(robot))) {
		if (!primo && wiiuse_poll(giocatore, 1) == 0)
			wiiuse_poll(robot, 1);
		t = scena.adesso = adesso();
		bool g = aggiorna(scena.giocatore, giocatore[0], t), r = aggiorna(scena.robot, robot[0], t);
		if (!vista) {
			if (g || primo)
				std::printf("%s\n", riga("giocatore", scena.giocatore, true).c_str());
			if (r || primo)
				std::printf("%s\n", riga("robot", scena.robot, false).c_str());
			primo = false;
			continue;
		}
		primo = false;
		if (!premuti(scena))
			break;
		std::string nuovo = ultimoDetto();
		if (!nuovo.empty())
			detto = nuovo, dettoAlle = t;
		// The seconds shown move on, and the window may have changed.
		daDisegnare = daDisegnare || g || r || ridimensionato || !nuovo.empty() || t - disegnata >= 1.0;
		if (!daDisegnare)
			continue;
		if (t - disegnata < kFraDueDisegni) {
			svegliaTra(kFraDueDisegni - (t - disegnata));
			continue;
		}
		int colonne, righe;
		misura(colonne, righe);
		std::vector<std::string> schermo = disegna(scena, colonne, righe);
		if (!detto.empty() && t - dettoAlle < kDettoPer)
			schermo.back() = inColonne(detto, colonne);
		mostra(schermo);
		disegnata = t;
		daDisegnare = false;
		// Wakes for the next second shown, whatever the remotes do.
		svegliaTra(1.0);
	}
	if (vista)
		esci();
	if (segnale) {
		std::signal(segnale, SIG_DFL);
		raise(segnale);
	}
	if (!connesso(giocatore) && !connesso(robot))
		std::fputs("nessun wiimote collegato: hitview finisce; avvialo di nuovo e premi SYNC sui wiimote durante le "
		           "ricerche\n",
		           stderr);
	return 0;
}
