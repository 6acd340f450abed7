// What hitview shows, as pure functions: from what each remote reported
// and the window's size to the screen's lines, and to the plain line a
// script reads. Nothing here reads a clock or a terminal.
#ifndef HITVIEW_VISTA_H
#define HITVIEW_VISTA_H

#include <string>
#include <vector>

constexpr int kLarghezzaCampo = 1024; // the camera's field, x
constexpr int kAltezzaCampo = 768;    // y
constexpr int kColonneMinime = 40;
constexpr int kRigheMinime = 12;

struct Punto {
	int x = 0, y = 0;
	bool operator==(const Punto &o) const { return x == o.x && y == o.y; }
};

// One source as the camera reports it, in its slot (numbered from 1).
struct Sorgente {
	int slot = 0;
	Punto dove;
	bool operator==(const Sorgente &o) const { return slot == o.slot && dove == o.dove; }
};

// What one remote says now.
struct Visto {
	bool collegato = false;
	int batteria = -1;              // percent; -1: no status report yet
	std::vector<Sorgente> sorgenti; // visible ones, by slot
	double immutataDa = 0;          // when what it sees last changed, s
	std::vector<Punto> estranee;    // marked as stray light
};

struct Scena {
	Visto giocatore, robot;
	double adesso = 0; // s, on the same clock as the times above
};

// A source this close to a marked place (camera pixels) is that stray light.
constexpr int kRaggioEstranea = 24;

// The game's verdict on the player's camera: exactly two sources.
bool colpito(const Visto &v);

// The screen, `righe` lines of at most `colonne` columns each (ASCII only):
// each remote's field scaled to the window, its sources numbered at their
// place, their count, the player's verdict, the spacing and tilt of two,
// how long the scene has been as it is, the battery, the link. A window
// below 40 by 12 gets one line that asks for more room.
std::vector<std::string> disegna(const Scena &s, int colonne, int righe);

// The plain line for a change of what a remote sees: `chi` is "giocatore"
// or "robot"; the verdict only for the player's.
std::string riga(const char *chi, const Visto &v, bool giocatore);

// Whether two views differ in what a script is told.
bool cambiato(const Visto &prima, const Visto &dopo);

#endif
