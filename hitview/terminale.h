// The terminal while hitview shows its view: ncurses on standard output,
// keys read as they come, the library's lines on standard error kept aside
// (they would break into the screen) and said again once the terminal is
// left as it was found, on any exit.
#ifndef HITVIEW_TERMINALE_H
#define HITVIEW_TERMINALE_H

#include <csignal>
#include <string>
#include <vector>

// Set by the signal handlers: SIGINT, SIGTERM or SIGHUP received; and a
// change of the window's size.
extern volatile std::sig_atomic_t segnale;
extern volatile std::sig_atomic_t ridimensionato;

// Whether the view can be drawn: standard output is a terminal that can
// move its cursor (TERM set, and not "dumb").
bool terminaleDisponibile();

// SIGINT, SIGTERM and SIGHUP only set `segnale`, and a wait on the remotes
// ends at them. SIGALRM, armed by `svegliaTra`, ends such a wait too.
void prendiSegnali();
void svegliaTra(double secondi);

// Enters the view: false, with nothing changed, when the terminal cannot.
bool entra();
// The window's size now.
void misura(int &colonne, int &righe);
// Draws the lines: ncurses sends only what changed since the last time.
void mostra(const std::vector<std::string> &righe);
// The keys pressed since the last call (without waiting), KEY_RESIZE among
// them when the window changed.
std::vector<int> tasti();
// A line the library said meanwhile, if any (the last one).
std::string ultimoDetto();
// Leaves the view: the terminal as it was, the library's lines said.
void esci();

#endif
