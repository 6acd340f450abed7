#include "vista.h"

#include <algorithm>
#include <cmath>

namespace {

std::string numero(long n)
{
	return std::to_string(n);
}

std::string sorgenti(size_t n)
{
	return numero(static_cast<long>(n)) + (n == 1 ? " sorgente" : " sorgenti");
}

// The sources near a place marked as stray light, by slot: "3,4".
std::string estranee(const Visto &v)
{
	std::string elenco;
	for (const Sorgente &s : v.sorgenti)
		for (const Punto &p : v.estranee)
			if (std::abs(s.dove.x - p.x) <= kRaggioEstranea && std::abs(s.dove.y - p.y) <= kRaggioEstranea) {
				elenco += (elenco.empty() ? "" : ",") + numero(s.slot);
				break;
			}
	return elenco;
}

// Two sources: how far apart (camera pixels), and how far the line through
// them leans from level, in degrees, positive when the right one is higher.
void geometria(const Visto &v, long &distanza, long &pendenza)
{
	Punto a = v.sorgenti[0].dove, b = v.sorgenti[1].dove;
	if (b.x < a.x)
		std::swap(a, b);
	double dx = b.x - a.x, dy = b.y - a.y;
	distanza = std::lround(std::hypot(dx, dy));
	pendenza = std::lround(std::atan2(-dy, dx) * 180.0 / M_PI);
}

std::string verdetto(const Visto &v)
{
	if (colpito(v))
		return "Visto!";
	size_t n = v.sorgenti.size();
	return n > 2 ? "Non vedo 2 led (" + numero(static_cast<long>(n - 2)) + " di troppo)" : "Non vedo 2 led";
}

std::string stato(const Visto &v, bool giocatore, double adesso)
{
	if (!v.collegato)
		return "";
	std::string t = giocatore ? verdetto(v) + "  " : "";
	t += sorgenti(v.sorgenti.size());
	std::string stray = estranee(v);
	if (!stray.empty())
		t += "  estranee: " + stray;
	t += "  da " + numero(static_cast<long>(std::max(0.0, adesso - v.immutataDa))) + " s";
	if (v.sorgenti.size() == 2) {
		long d, p;
		geometria(v, d, p);
		t += "  dist " + numero(d) + " incl " + (p > 0 ? "+" : "") + numero(p);
	}
	return t;
}

std::string taglia(std::string t, int colonne)
{
	if (static_cast<int>(t.size()) > colonne)
		t.resize(static_cast<size_t>(colonne));
	return t;
}

// One remote's part of the screen, `righe` lines.
void pannello(std::vector<std::string> &out, const char *nome, const Visto &v, bool giocatore, double adesso,
              int colonne, int righe)
{
	std::string batteria = v.batteria < 0 ? "batteria non ancora letta" : "batteria " + numero(v.batteria) + "%";
	std::string titolo = std::string(nome) + "  " + (v.collegato ? "collegato, " + batteria : "non collegato");
	if (v.collegato && static_cast<int>(titolo.size()) > colonne)
		titolo = std::string(nome) + "  " + batteria;
	out.push_back(taglia(titolo, colonne));

	bool bordi = righe - 4 >= 1;
	int alto = righe - (bordi ? 4 : 2), largo = colonne - 2;
	std::vector<std::string> campo(static_cast<size_t>(alto), std::string(static_cast<size_t>(largo), ' '));
	auto posto = [&](Punto p, char c) {
		int x = std::clamp(p.x * largo / kLarghezzaCampo, 0, largo - 1);
		int y = std::clamp(p.y * alto / kAltezzaCampo, 0, alto - 1);
		campo[static_cast<size_t>(y)][static_cast<size_t>(x)] = c;
	};
	for (const Punto &p : v.estranee)
		posto(p, 'x');
	if (v.collegato) {
		for (const Sorgente &s : v.sorgenti)
			posto(s.dove, static_cast<char>('0' + s.slot));
	} else {
		std::string non = taglia("non collegato", largo);
		campo[static_cast<size_t>(alto / 2)].replace(static_cast<size_t>((largo - static_cast<int>(non.size())) / 2),
		                                              non.size(), non);
	}
	std::string bordo = "+" + std::string(static_cast<size_t>(largo), '-') + "+";
	if (bordi)
		out.push_back(bordo);
	for (const std::string &r : campo)
		out.push_back("|" + r + "|");
	if (bordi)
		out.push_back(bordo);
	out.push_back(taglia(stato(v, giocatore, adesso), colonne));
}

} // namespace

bool colpito(const Visto &v)
{
	return v.sorgenti.size() == 2;
}

std::vector<std::string> disegna(const Scena &s, int colonne, int righe)
{
	std::vector<std::string> out;
	if (colonne < kColonneMinime || righe < kRigheMinime) {
		out.push_back(taglia("finestra troppo piccola: servono 40x12", std::max(colonne, 0)));
		out.resize(static_cast<size_t>(std::max(righe, 1)));
		return out;
	}
	int spazio = righe - 1; // the last line says the keys
	pannello(out, "GIOCATORE", s.giocatore, true, s.adesso, colonne, spazio - spazio / 2);
	pannello(out, "ROBOT", s.robot, false, s.adesso, colonne, spazio / 2);
	out.push_back(taglia("q esci  s segna le luci estranee  c cancella", colonne));
	return out;
}

std::string riga(const char *chi, const Visto &v, bool giocatore)
{
	std::string t = std::string(chi) + ": ";
	if (!v.collegato)
		return t + "non collegato";
	t += sorgenti(v.sorgenti.size());
	for (const Sorgente &s : v.sorgenti)
		t += " " + numero(s.slot) + "=(" + numero(s.dove.x) + "," + numero(s.dove.y) + ")";
	if (giocatore)
		t += ", " + verdetto(v);
	if (v.sorgenti.size() == 2) {
		long d, p;
		geometria(v, d, p);
		t += ", distanza " + numero(d) + ", inclinazione " + (p > 0 ? "+" : "") + numero(p) + " gradi";
	}
	std::string stray = estranee(v);
	if (!stray.empty())
		t += ", estranee: " + stray;
	return t;
}

bool cambiato(const Visto &prima, const Visto &dopo)
{
	return prima.collegato != dopo.collegato || prima.sorgenti != dopo.sorgenti;
}
