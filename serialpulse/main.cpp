// serialpulse: sends the byte "1" to the robot's USB serial line, again and
// again, and says "inviato..." for each byte that went out.
#include "consiglio.h"
#include "impulso.h"
#include "standard_streams.h"
#include "uscita.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr long kPausaMs = 500; // between attempts while the device fails
constexpr int kBattitiRoot = 6; // a node still root's after 3 s is said

// An outage: one line when it begins, and one more whenever its reason
// changes; a node still root's alone only once the refusal has lasted.
struct Interruzione {
	Esito ultimo = {Azione::Nessuna, 0};
	bool detto = false;            // the last reason has been said
	std::sig_atomic_t inizio = 0;  // the beat at which it began
};

bool daDire(Interruzione &i, const Esito &esito)
{
	if (!(esito == i.ultimo)) {
		i.detto = false;
		i.inizio = battiti;
	}
	i.ultimo = esito;
	if (i.detto || (soloDiRoot(esito) && battiti - i.inizio < kBattitiRoot))
		return false;
	return i.detto = true;
}

} // namespace

int main()
{
	static const char kInviato[] = "inviato...\n";
	if (!fillStandardStreams())
		return 1;
	// A reader of the output that goes away is an output failure like any
	// other: said once, and the pulses go on.
	std::signal(SIGPIPE, SIG_IGN);
	avviaBattito();
	Interruzione interruzione;
	bool nuovo = true;
	bool uscitaFallita = false; // said, until a line goes out again
	for (;;) {
		Esito esito = invioFile(nuovo);
		nuovo = esito.azione != Azione::Nessuna;
		if (!nuovo) {
			// Each line goes out with its byte, so a log can be trusted;
			// one that cannot is said, once, and the pulses go on.
			bool scritta = scriviTutto(STDOUT_FILENO, kInviato, sizeof kInviato - 1) == sizeof kInviato - 1;
			if (!scritta && !uscitaFallita)
				dire("impossibile scrivere su standard output: %s (gli impulsi continuano, senza le loro righe)\n",
				     std::strerror(errno));
			uscitaFallita = !scritta;
			interruzione.ultimo = esito;
			continue;
		}
		if (daDire(interruzione, esito))
			riferisci(esito);
		struct timespec pausa = {0, kPausaMs * 1000000L};
		while (nanosleep(&pausa, &pausa) != 0 && errno == EINTR) {
		}
	}
}
