// hitcheck: sets up the player's and the robot's Wii Remotes, then reports
// every event of both and, after each event of the player's remote, whether
// its camera sees the robot's two LEDs.
#include "reports.h"
#include "standard_streams.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

short any_wiimote_connected(struct wiimote_t **wm, int wiimotes);
int confermacolpo(struct wiimote_t **wm);

namespace {

constexpr int kAttesaRicerca = 10;               // seconds, each search
constexpr useconds_t kDurataVibrazione = 200000; // microseconds

// Creates a group of one remote; says so on standard error when it cannot.
struct wiimote_t **creaGruppo(const char *nome)
{
	struct wiimote_t **gruppo = wiiuse_init(1);
	if (!gruppo)
		std::fprintf(stderr, "impossibile creare il gruppo di %s: wiiuse_init non ha restituito nessun wiimote\n",
		             nome);
	return gruppo;
}

// Standard output may be handed over non-blocking (by a terminal
// multiplexer, a parent process): a write then answers EAGAIN while the
// reader is behind, and stdio would drop what it held. The program's stream
// waits for room instead, and writes the rest.
ssize_t scriviUscita(void *, const char *dati, size_t quanti)
{
	size_t fatti = 0;
	while (fatti < quanti) {
		ssize_t n = write(STDOUT_FILENO, dati + fatti, quanti - fatti);
		if (n > 0) {
			fatti += static_cast<size_t>(n);
		} else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			pollfd spazio = {STDOUT_FILENO, POLLOUT, 0};
			if (poll(&spazio, 1, -1) < 0 && errno != EINTR)
				break;
		} else if (n == 0 || errno != EINTR) {
			break;
		}
	}
	return fatti > 0 || quanti == 0 ? static_cast<ssize_t>(fatti) : -1;
}

// A hint of ours, on standard error: never among the reports.
void consiglia(const char *testo)
{
	std::fprintf(stderr, "%s\n", testo);
}

void annunciaConnessione(int connessi, const char *nome, int trovati)
{
	if (connessi != 0)
		std::printf("Connesso a %i %s di %i trovati.\n", connessi, nome, trovati);
	else
		std::puts("Connessione non riuscita con nessun wiimote.");
}

// Reports the last event of a group's remote; for the player's, the hit too.
void esamina(struct wiimote_t **gruppo, bool giocatore)
{
	struct wiimote_t *wm = gruppo[0];
	if (wm->event == WIIUSE_EVENT) {
		std::puts("Evento generico, verifichiamo... ");
		handle_event(wm);
		if (giocatore) {
			if (confermacolpo(gruppo))
				std::puts("Visto! ");
			else {
				// No line break follows: show it now, not at the next event.
				std::fputs("Non vedo 2 led...", stdout);
				std::fflush(stdout);
			}
		}
	} else if (wm->event == WIIUSE_STATUS) {
		std::puts("Richiesta evento di stato, ecco i dati... ");
		handle_ctrl_status(wm);
	}
}

} // namespace

short any_wiimote_connected(struct wiimote_t **wm, int wiimotes)
{
	if (!wm)
		return 0;
	for (int i = 0; i < wiimotes; ++i)
		if (wm[i] && (wm[i]->state & kStatoConnesso))
			return 1;
	return 0;
}

int confermacolpo(struct wiimote_t **wm)
{
	return wm[0]->ir.num_dots == 2 ? 1 : 0;
}

int main()
{
	if (!fillStandardStreams())
		return 1;
	if (FILE *uscita = fopencookie(nullptr, "w", {nullptr, scriviUscita, nullptr, nullptr}))
		stdout = uscita;
	// Reports already printed must survive a Ctrl-C, into a pipe too.
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	struct wiimote_t **giocatore = creaGruppo("wiimote_player");
	if (!giocatore)
		return 1;
	std::puts("inizializzazione wiimote_player...");
	int trovati = wiiuse_find(giocatore, 1, kAttesaRicerca);
	std::printf("numero di wiimote trovati: %i \n", trovati);
	int connessi = wiiuse_connect(giocatore, 1);
	annunciaConnessione(connessi, "wiimote_player", trovati);
	const bool giocatoreCollegato = connessi != 0;
	wiiuse_set_leds(giocatore[0], WIIMOTE_LED_1);

	struct wiimote_t **robot = creaGruppo("wiimote_robot");
	if (!robot)
		return 1;
	std::puts("inizializzazione wiimote_robot...");
	trovati = wiiuse_find(robot, 1, kAttesaRicerca);
	std::printf("numero di wiimote trovati: %i\n", trovati);
	connessi = wiiuse_connect(robot, 1);
	annunciaConnessione(connessi, "wiimote_robot", trovati);
	wiiuse_set_leds(robot[0], WIIMOTE_LED_2);

	wiiuse_rumble(giocatore[0], 1);
	wiiuse_rumble(robot[0], 1);
	usleep(kDurataVibrazione);
	wiiuse_rumble(giocatore[0], 0);
	wiiuse_rumble(robot[0], 0);

	if (any_wiimote_connected(giocatore, 1))
		consiglia("la telecamera del wiimote del giocatore è spenta, e finché lo è ogni suo evento dice \"Non "
		          "vedo 2 led...\": premi SU sulla croce per accenderla, GIÙ per spegnerla");
	while (any_wiimote_connected(giocatore, 1)) {
		if (wiiuse_poll(giocatore, 1) == 0 && wiiuse_poll(robot, 1) == 0)
			continue;
		esamina(giocatore, true);
		esamina(robot, false);
	}
	if (giocatoreCollegato)
		consiglia("partita finita: il wiimote del giocatore non è più collegato; per la prossima avvia di nuovo "
		          "hitcheck e, durante la prima ricerca, premi un tasto del wiimote (SYNC se non torna)");
	else
		consiglia("nessun wiimote del giocatore: la partita non comincia; avvia di nuovo hitcheck e premi SYNC "
		          "sul wiimote del giocatore durante la prima ricerca");
	return 0;
}
