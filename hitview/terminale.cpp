#include "terminale.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

volatile std::sig_atomic_t segnale = 0;
volatile std::sig_atomic_t ridimensionato = 0;

namespace {

bool dentro = false;
int erroreVero = -1;           // standard error as it was, while the view holds it
int detti = -1;                // the read end of what the library says meanwhile
std::string raccolto;          // all it said, to say again at the end
std::atomic<bool> tastoInAttesa{false};
pthread_t principale;

void registra(int sig)
{
	segnale = sig;
}

void finestra(int)
{
	ridimensionato = 1;
}

void sveglia(int) {}

// Waits for a key on standard input, away from the loop: a wait on the
// remotes does not see the keyboard, so a key ends it with a signal. It
// waits again once the loop has read the keys.
void *guardaTastiera(void *)
{
	for (;;) {
		pollfd p = {STDIN_FILENO, POLLIN, 0};
		if (poll(&p, 1, -1) < 0 && errno != EINTR)
			return nullptr;
		if (!(p.revents & POLLIN)) {
			if (p.revents & (POLLHUP | POLLNVAL))
				return nullptr;
			continue;
		}
		tastoInAttesa = true;
		pthread_kill(principale, SIGALRM);
		while (tastoInAttesa) {
			struct timespec breve = {0, 10 * 1000 * 1000};
			nanosleep(&breve, nullptr);
		}
	}
}

void installa(int sig, void (*gestore)(int))
{
	struct sigaction sa{};
	sa.sa_handler = gestore;
	sigemptyset(&sa.sa_mask);
	// No SA_RESTART: the signal must end a wait on the remotes.
	sigaction(sig, &sa, nullptr);
}

void aCasaAllaFine()
{
	esci();
}

} // namespace

bool terminaleDisponibile()
{
	const char *term = std::getenv("TERM");
	return isatty(STDOUT_FILENO) && term && *term && std::strcmp(term, "dumb") != 0;
}

void prendiSegnali()
{
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction prima{};
		sigaction(sig, nullptr, &prima);
		// A signal ignored by whoever started the program stays ignored.
		if (prima.sa_handler == SIG_DFL)
			installa(sig, registra);
	}
	installa(SIGALRM, sveglia);
}

void svegliaTra(double secondi)
{
	long us = static_cast<long>(secondi * 1e6);
	struct itimerval una = {{0, 0}, {us / 1000000, us % 1000000 ? us % 1000000 : (us ? 0 : 1)}};
	setitimer(ITIMER_REAL, &una, nullptr);
}

bool entra()
{
	// The library's lines are UTF-8 (Italian): drawn as the locale says.
	std::setlocale(LC_ALL, "");
	if (!newterm(nullptr, stdout, stdin))
		return false;
	dentro = true;
	std::atexit(aCasaAllaFine);
	cbreak();
	noecho();
	nodelay(stdscr, TRUE);
	keypad(stdscr, TRUE);
	curs_set(0);
	installa(SIGWINCH, finestra);
	// What the library says goes aside while the view holds the terminal.
	int tubo[2];
	if (pipe2(tubo, O_CLOEXEC | O_NONBLOCK) == 0) {
		erroreVero = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
		dup2(tubo[1], STDERR_FILENO);
		close(tubo[1]);
		detti = tubo[0];
	}
	// Keys come only from a terminal: /dev/null, say, is always readable.
	if (!isatty(STDIN_FILENO))
		return true;
	principale = pthread_self();
	sigset_t tutti, prima;
	sigfillset(&tutti);
	pthread_sigmask(SIG_SETMASK, &tutti, &prima);
	pthread_t t;
	if (pthread_create(&t, nullptr, guardaTastiera, nullptr) == 0)
		pthread_detach(t);
	pthread_sigmask(SIG_SETMASK, &prima, nullptr);
	return true;
}

void misura(int &colonne, int &righe)
{
	if (ridimensionato) {
		ridimensionato = 0;
		winsize ws{};
		if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col && ws.ws_row) {
			resizeterm(ws.ws_row, ws.ws_col);
			clearok(curscr, TRUE);
		}
	}
	getmaxyx(stdscr, righe, colonne);
}

void mostra(const std::vector<std::string> &righe)
{
	for (size_t i = 0; i < righe.size() && static_cast<int>(i) < LINES; ++i) {
		move(static_cast<int>(i), 0);
		// The bottom right cell is left alone: writing it scrolls some
		// terminals.
		bool ultima = static_cast<int>(i) == LINES - 1;
		addnstr(righe[i].c_str(), ultima ? COLS - 1 : COLS);
		clrtoeol();
	}
	refresh();
}

std::vector<int> tasti()
{
	std::vector<int> letti;
	if (!tastoInAttesa)
		return letti;
	for (int c; (c = getch()) != ERR;)
		letti.push_back(c);
	tastoInAttesa = false;
	return letti;
}

std::string ultimoDetto()
{
	char buf[4096];
	ssize_t n;
	size_t prima = raccolto.size();
	while (detti >= 0 && (n = read(detti, buf, sizeof buf)) > 0)
		raccolto.append(buf, static_cast<size_t>(n));
	if (raccolto.size() == prima)
		return "";
	std::string tutto = raccolto.substr(0, raccolto.size() - (raccolto.back() == '\n'));
	size_t inizio = tutto.rfind('\n');
	return inizio == std::string::npos ? tutto : tutto.substr(inizio + 1);
}

void esci()
{
	if (!dentro)
		return;
	dentro = false;
	ultimoDetto();
	endwin();
	if (erroreVero >= 0) {
		dup2(erroreVero, STDERR_FILENO);
		close(erroreVero);
		erroreVero = -1;
	}
	for (size_t fatti = 0; fatti < raccolto.size();) {
		ssize_t n = write(STDERR_FILENO, raccolto.data() + fatti, raccolto.size() - fatti);
		if (n <= 0 && errno != EINTR)
			break;
		fatti += n > 0 ? static_cast<size_t>(n) : 0;
	}
	raccolto.clear();
}
