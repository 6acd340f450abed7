// serialpulse: sends the byte "1" to the robot's USB serial line, again and
// again, and says "inviato..." for each byte that went out.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char kDispositivo[] = "/dev/ttyUSB0";
constexpr long kPausaMs = 500; // between attempts while the device fails

// A clock beats every half second for the whole run, so that a pulse held by
// the device is noticed without a system call on the pulses that are not:
// its beat interrupts the wait, which looks at how long it has lasted.
constexpr long kBattitoMs = 500;
constexpr int kBattitiAttesa = 3; // past a full second since the pulse began
constexpr int kBattitiRoot = 6;   // a node still root's after 3 s is said

enum class Azione { Nessuna, Aprire, Scrivere, Chiudere };
const char *const kAzioni[] = {"", "aprire", "scrivere su", "chiudere"};

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

volatile sig_atomic_t battiti = 0;

// The clock's handler only counts.
void batti(int)
{
	battiti = battiti + 1;
}

// The pulse under way: when it began, and whether its wait has been said.
sig_atomic_t inizioImpulso = 0;
bool attesaDetta = false;
bool hupclDetto = false;

// Writes all of `quanti` bytes, across interruptions and short writes; returns
// how many went. While a pulse's byte waits, each beat of the clock asks
// whether it has waited too long.
size_t scriviTutto(int fd, const char *dati, size_t quanti, bool impulso);

void dire(const char *testo)
{
	scriviTutto(STDERR_FILENO, testo, std::strlen(testo), false);
}

void inAttesa()
{
	if (attesaDetta || battiti - inizioImpulso < kBattitiAttesa)
		return;
	attesaDetta = true;
	char riga[256];
	std::snprintf(riga, sizeof riga,
	              "attenzione: %s non accetta il byte da più di un secondo (controllo di flusso? "
	              "CTS basso o XOFF dalla scheda)\n",
	              kDispositivo);
	dire(riga);
}

size_t scriviTutto(int fd, const char *dati, size_t quanti, bool impulso)
{
	size_t fatti = 0;
	while (fatti < quanti) {
		ssize_t n = write(fd, dati + fatti, quanti - fatti);
		if (n < 0 && errno == EINTR) {
			if (impulso)
				inAttesa();
			continue;
		}
		// A descriptor handed over non-blocking (standard output from a
		// terminal multiplexer, a parent process) has no room while its
		// reader is behind: wait for it, lose nothing.
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			pollfd spazio = {fd, POLLOUT, 0};
			if (poll(&spazio, 1, -1) < 0 && errno != EINTR)
				break;
			continue;
		}
		if (n <= 0)
			break;
		fatti += static_cast<size_t>(n);
	}
	return fatti;
}

// The stream's way to the device.
ssize_t scriviDispositivo(void *cookie, const char *dati, size_t quanti)
{
	size_t fatti = scriviTutto(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), dati, quanti, true);
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
	char riga[384];
	std::snprintf(riga, sizeof riga,
	              "attenzione: %s ha HUPCL attivo: ogni impulso abbassa e rialza DTR, e una scheda "
	              "che si riavvia con DTR ripartirà a ogni impulso; per evitarlo: stty -F %s -hupcl\n",
	              kDispositivo, kDispositivo);
	dire(riga);
}

} // namespace

// One pulse: opens the device anew, writes "1", closes it. `nuovo` is the
// first pulse, or the first after a failed one: then something else may
// stand at the path, and its type is checked before the byte is written.
// Otherwise a drain that succeeds proves it a terminal.
Esito invioFile(bool nuovo)
{
	inizioImpulso = battiti;
	attesaDetta = false;
	// Only an existing character device: never create a file in its place,
	// never become its controlling process. A line without CLOCAL would
	// make the open wait for carrier (DCD): opened without waiting, it is
	// written as usual once open.
	int fd;
	do
		fd = open(kDispositivo, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
	while (fd < 0 && errno == EINTR);
	if (fd < 0)
		return {Azione::Aprire, errno};
	// Of the flags F_SETFL sets, the open asked only for O_NONBLOCK.
	if (fcntl(fd, F_SETFL, 0) < 0) {
		int errore = errno;
		close(fd);
		return {Azione::Aprire, errore};
	}
	if (int errore = nuovo ? nonDispositivo(fd) : 0) {
		close(fd);
		return {Azione::Aprire, errore};
	}
	FILE *flusso = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "w",
	                           kSuDescrittore);
	if (!flusso) {
		int errore = errno;
		close(fd);
		return {Azione::Aprire, errore};
	}
	// A buffer of our own spares the stream an allocation.
	char buffer[16];
	std::setvbuf(flusso, buffer, _IOFBF, sizeof buffer);
	struct termios modo;
	Svuotato svuotato = Svuotato::No;
	if (std::fputc('1', flusso) == EOF || std::fflush(flusso) == EOF ||
	    (svuotato = svuota(fd, modo)) == Svuotato::No) {
		int errore = errno;
		std::fclose(flusso);
		return {Azione::Scrivere, errore};
	}
	if (svuotato == Svuotato::NonTerminale && !nuovo) {
		if (int errore = nonDispositivo(fd)) {
			std::fclose(flusso);
			return {Azione::Aprire, errore};
		}
	}
	if (svuotato == Svuotato::Si && nuovo)
		avvisaHupcl(modo);
	if (std::fclose(flusso) == EOF)
		return {Azione::Chiudere, errno};
	return {Azione::Nessuna, 0};
}

namespace {

// The group of the device's node, or -1 when it cannot be seen.
long gruppoNodo()
{
	struct stat st;
	return stat(kDispositivo, &st) == 0 ? static_cast<long>(st.st_gid) : -1;
}

bool faParte(gid_t gruppo)
{
	int quanti = getgroups(0, nullptr);
	std::vector<gid_t> gruppi(static_cast<size_t>(quanti > 0 ? quanti : 0));
	if (quanti > 0 && getgroups(quanti, gruppi.data()) == quanti)
		for (gid_t g : gruppi)
			if (g == gruppo)
				return true;
	return getegid() == gruppo;
}

// A node refused that is root's alone has not been given out yet: just
// plugged in, devtmpfs makes it root's a moment before udev gives it to
// its group. Said only once the refusal has lasted.
bool soloDiRoot(const Esito &esito)
{
	return esito.azione == Azione::Aprire && esito.errore == EACCES && gruppoNodo() == 0;
}

// What may be done about a failure, when the system's reason alone does
// not say it.
const char *consiglio(const Esito &esito, char *spazio, size_t misura)
{
	if (esito.azione != Azione::Aprire)
		return "";
	if (esito.errore == EBUSY)
		return " (un altro programma tiene la porta in esclusiva)";
	if (esito.errore != EACCES)
		return "";
	long gid = gruppoNodo();
	if (gid == 0)
		return " (il nodo è solo di root: le regole udev per gli adattatori seriali non sono state "
		       "applicate)";
	// Joining the node's group helps only a user who is not in it.
	const struct group *gruppo = gid > 0 ? getgrgid(static_cast<gid_t>(gid)) : nullptr;
	if (!gruppo || faParte(gruppo->gr_gid))
		return "";
	std::snprintf(spazio, misura, " (l'utente deve far parte del gruppo %s: vedi il README, \"Permissions\")",
	              gruppo->gr_name);
	return spazio;
}

void riferisci(const Esito &esito)
{
	char spazio[160], riga[512];
	const char *motivo =
		esito.errore == kNonCarattere ? "non è un dispositivo a caratteri" : std::strerror(esito.errore);
	std::snprintf(riga, sizeof riga, "impossibile %s %s: %s%s\n", kAzioni[static_cast<int>(esito.azione)],
	              kDispositivo, motivo, consiglio(esito, spazio, sizeof spazio));
	dire(riga);
}

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

} // namespace

int main()
{
	static const char kInviato[] = "inviato...\n";
	avviaBattito();
	Esito ultimo = {Azione::Nessuna, 0};
	bool nuovo = true;
	bool detto = false;            // the last reason has been said
	sig_atomic_t inizioMotivo = 0; // the beat at which it began
	for (;;) {
		Esito esito = invioFile(nuovo);
		nuovo = esito.azione != Azione::Nessuna;
		if (!nuovo) {
			// Each line goes out with its byte, so a log can be trusted.
			scriviTutto(STDOUT_FILENO, kInviato, sizeof kInviato - 1, false);
			ultimo = esito;
			continue;
		}
		// One line for an outage, and one more whenever its reason changes.
		if (!(esito == ultimo)) {
			detto = false;
			inizioMotivo = battiti;
		}
		if (!detto && (!soloDiRoot(esito) || battiti - inizioMotivo >= kBattitiRoot)) {
			riferisci(esito);
			detto = true;
		}
		ultimo = esito;
		struct timespec pausa = {0, kPausaMs * 1000000L};
		while (nanosleep(&pausa, &pausa) != 0 && errno == EINTR) {
		}
	}
}
