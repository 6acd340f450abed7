#include "impulso.h"

#include "uscita.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

const char kDispositivo[] = "/dev/ttyUSB0";

volatile std::sig_atomic_t battiti = 0;

namespace {

constexpr int kBattitiAttesa = 3; // past a full second since the pulse began

// The pulse under way: when it began, and whether its wait has been said.
std::sig_atomic_t inizioImpulso = 0;
bool attesaDetta = false;
bool hupclDetto = false;
bool nonTerminaleDetto = false;

void batti(int)
{
	battiti = battiti + 1;
}

// At each beat during a pulse's write or drain: said once a pulse, when it
// has waited over a second.
void inAttesa()
{
	if (attesaDetta || battiti - inizioImpulso < kBattitiAttesa)
		return;
	attesaDetta = true;
	dire("attenzione: %s non accetta il byte da più di un secondo (controllo di flusso? "
	     "CTS basso o XOFF dalla scheda)\n",
	     kDispositivo);
}

// The device's descriptor, owned once: by this, then by the stream.
struct Descrittore {
	int fd = -1;
	~Descrittore()
	{
		if (fd >= 0)
			close(fd);
	}
};

// The stream's way to the device.
ssize_t scriviDispositivo(void *cookie, const char *dati, size_t quanti)
{
	size_t fatti = scriviTutto(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), dati, quanti, inAttesa);
	return fatti > 0 || quanti == 0 ? static_cast<ssize_t>(fatti) : -1;
}

// An interrupted close has still released the descriptor: retrying it
// could close another one.
int chiudi(void *cookie)
{
	int esito = close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
	return esito != 0 && errno == EINTR ? 0 : esito;
}

const cookie_io_functions_t kSuDescrittore = {nullptr, scriviDispositivo, nullptr, chiudi};

// The stream, closed once: by chiusura(), or, on a failure, as it goes.
struct Flusso {
	FILE *f = nullptr;
	~Flusso()
	{
		if (f)
			std::fclose(f);
	}
	bool chiusura()
	{
		FILE *g = f;
		f = nullptr;
		return std::fclose(g) == 0;
	}
};

// 0 when the descriptor is a character device, else the reason.
int nonDispositivo(int fd)
{
	struct stat st;
	if (fstat(fd, &st) < 0)
		return errno;
	return S_ISCHR(st.st_mode) ? 0 : kNonCarattere;
}

enum class Svuotato { Si, NonTerminale, No };

// Waits until what was written has left the kernel for the adapter, and
// gives the line's settings. A port hung up meanwhile (the adapter
// unplugged) has thrown the byte away: that is a failure, with errno set. A
// device that is not a terminal has nothing to wait for.
Svuotato svuota(int fd, struct termios &modo)
{
	while (tcdrain(fd) != 0) {
		if (errno == ENOTTY)
			return Svuotato::NonTerminale;
		if (errno != EINTR)
			return Svuotato::No;
		inAttesa();
	}
	// The hang-up empties the queue too, and so ends the wait as if the byte
	// had gone; but from then on the descriptor answers EIO.
	return tcgetattr(fd, &modo) == 0 ? Svuotato::Si : Svuotato::No;
}

// Boards that reset when DTR rises restart at every pulse while the line
// drops DTR at each close.
void avvisaHupcl(const struct termios &modo)
{
	if (hupclDetto || !(modo.c_cflag & HUPCL))
		return;
	hupclDetto = true;
	dire("attenzione: %s ha HUPCL attivo: ogni impulso abbassa e rialza DTR, e una scheda "
	     "che si riavvia con DTR ripartirà a ogni impulso; per evitarlo: stty -F %s -hupcl\n",
	     kDispositivo, kDispositivo);
}

// Opens the device for one pulse: only an existing character device, at
// every pulse (a file renamed over it is never written), never a file
// created in its place, never as its controlling process. A line without
// CLOCAL would make the open wait for carrier (DCD): opened without
// waiting, it stays so; a write that finds no room waits for it.
Esito apri(Descrittore &d)
{
	do
		d.fd = open(kDispositivo, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
	while (d.fd < 0 && errno == EINTR);
	// A directory at the path is no device either, and said as such.
	if (d.fd < 0)
		return {Azione::Aprire, errno == EISDIR ? kNonCarattere : errno};
	if (int errore = nonDispositivo(d.fd))
		return {Azione::Aprire, errore};
	return {Azione::Nessuna, 0};
}

// A character device that is not a terminal (/dev/null, a link to it)
// takes the byte, but no serial line carries it to a board: said once, and
// the pulse goes on as it is.
void avvisaNonTerminale()
{
	if (nonTerminaleDetto)
		return;
	nonTerminaleDetto = true;
	dire("attenzione: %s non è un terminale seriale: il byte gli arriva, ma nessuna linea lo porta alla "
	     "scheda (è l'adattatore USB seriale?)\n",
	     kDispositivo);
}

} // namespace

void avviaBattito()
{
	struct sigaction azione = {};
	azione.sa_handler = batti;
	sigemptyset(&azione.sa_mask);
	// No SA_RESTART: the beat must reach a wait on the device.
	struct itimerval ogni = {{0, kBattitoMs * 1000}, {0, kBattitoMs * 1000}};
	if (sigaction(SIGALRM, &azione, nullptr) == 0)
		setitimer(ITIMER_REAL, &ogni, nullptr);
}

Esito invioFile(bool nuovo)
{
	inizioImpulso = battiti;
	attesaDetta = false;
	Descrittore d;
	Esito aperto = apri(d);
	if (aperto.azione != Azione::Nessuna)
		return aperto;
	Flusso flusso;
	flusso.f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(d.fd)), "w", kSuDescrittore);
	if (!flusso.f)
		return {Azione::Aprire, errno};
	int fd = d.fd;
	d.fd = -1; // the stream's from now on
	// A buffer of our own spares the stream an allocation.
	char buffer[16];
	std::setvbuf(flusso.f, buffer, _IOFBF, sizeof buffer);
	struct termios modo;
	Svuotato svuotato = Svuotato::No;
	if (std::fputc('1', flusso.f) == EOF || std::fflush(flusso.f) == EOF ||
	    (svuotato = svuota(fd, modo)) == Svuotato::No)
		return {Azione::Scrivere, errno};
	if (svuotato == Svuotato::NonTerminale)
		avvisaNonTerminale();
	if (svuotato == Svuotato::Si && nuovo)
		avvisaHupcl(modo);
	if (!flusso.chiusura())
		return {Azione::Chiudere, errno};
	return {Azione::Nessuna, 0};
}
