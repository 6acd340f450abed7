// One pulse: the device opened anew, the byte "1" written and drained, the
// device closed; and the clock that tells a pulse held by the device.
#ifndef SERIALPULSE_IMPULSO_H
#define SERIALPULSE_IMPULSO_H

#include <csignal>

extern const char kDispositivo[]; // "/dev/ttyUSB0"

enum class Azione { Nessuna, Aprire, Scrivere, Chiudere };

constexpr int kNonCarattere = -1; // reason: the path is not a character device

// How a pulse went: what failed, if anything, with the system's reason.
struct Esito {
	Azione azione;
	int errore; // errno, or kNonCarattere

	bool operator==(const Esito &altro) const
	{
		return azione == altro.azione && errore == altro.errore;
	}
};

// A clock beats every half second for the whole run, so that a pulse held
// by the device is noticed without a system call on the pulses that are
// not: its beat interrupts the wait, which looks at how long it has lasted.
// Its handler only counts.
constexpr long kBattitoMs = 500;
extern volatile std::sig_atomic_t battiti;
void avviaBattito();

// One pulse. Whatever stands at the path, its type is checked before the
// byte is written, at every pulse. `nuovo` is the first pulse, or the
// first after a failed one: then the line's HUPCL is looked at.
Esito invioFile(bool nuovo);

#endif
