// serialpulse: sends the byte "1" to the robot's USB serial line, again and
// again, and says "inviato..." for each byte that went out.
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char kDispositivo[] = "/dev/ttyUSB0";
constexpr long kPausaMs = 500; // between attempts while the device fails

constexpr int kNonCarattere = -1; // reason: the path is not a character device

// How a pulse went: `azione` is null when the byte went out, else what
// failed ("aprire", "scrivere su", "chiudere"), with the system's reason.
struct Esito {
	const char *azione;
	int errore; // errno, or kNonCarattere
};

const char *motivo(int errore)
{
	return errore == kNonCarattere ? "non è un dispositivo a caratteri" : std::strerror(errore);
}

// The stream's way to the device: plain writes to the open descriptor,
// retried when interrupted or short.
ssize_t scrivi(void *cookie, const char *dati, size_t quanti)
{
	int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
	size_t fatti = 0;
	while (fatti < quanti) {
		ssize_t n = write(fd, dati + fatti, quanti - fatti);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return fatti > 0 ? static_cast<ssize_t>(fatti) : -1;
		fatti += static_cast<size_t>(n);
	}
	return static_cast<ssize_t>(fatti);
}

int chiudi(void *cookie)
{
	return close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

const cookie_io_functions_t kSuDescrittore = {nullptr, scrivi, nullptr, chiudi};

// Waits until what was written has left the kernel for the adapter. A port
// hung up meanwhile (the adapter unplugged) has thrown the byte away: that
// is a failure, with errno set. A device that is not a terminal has nothing
// to wait for.
bool svuota(int fd)
{
	while (tcdrain(fd) != 0) {
		if (errno == ENOTTY)
			return true;
		if (errno != EINTR)
			return false;
	}
	// The hang-up empties the queue too, and so ends the wait as if the byte
	// had gone; but from then on the descriptor answers EIO.
	struct termios modo;
	return tcgetattr(fd, &modo) == 0;
}

} // namespace

// One pulse: opens the device anew, writes "1", closes it.
Esito invioFile()
{
	// Only an existing character device: never create a file in its place,
	// never become its controlling process.
	int fd = open(kDispositivo, O_WRONLY | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return {"aprire", errno};
	struct stat st = {};
	if (fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode)) {
		int errore = st.st_mode == 0 ? errno : kNonCarattere;
		close(fd);
		return {"aprire", errore};
	}
	FILE *flusso = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "w",
	                           kSuDescrittore);
	if (!flusso) {
		int errore = errno;
		close(fd);
		return {"aprire", errore};
	}
	// A buffer of our own spares the stream an allocation.
	char buffer[16];
	std::setvbuf(flusso, buffer, _IOFBF, sizeof buffer);
	if (std::fputc('1', flusso) == EOF || std::fflush(flusso) == EOF || !svuota(fd)) {
		int errore = errno;
		std::fclose(flusso);
		return {"scrivere su", errore};
	}
	if (std::fclose(flusso) == EOF)
		return {"chiudere", errno};
	return {nullptr, 0};
}

int main()
{
	// Each "inviato..." goes out with its byte, so a log can be trusted.
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	Esito ultimo = {nullptr, 0};
	for (;;) {
		Esito esito = invioFile();
		if (!esito.azione) {
			std::puts("inviato...");
			ultimo = esito;
			continue;
		}
		// One line for an outage, and one more whenever its reason changes.
		if (esito.azione != ultimo.azione || esito.errore != ultimo.errore)
			std::fprintf(stderr, "impossibile %s %s: %s\n", esito.azione, kDispositivo,
			             motivo(esito.errore));
		ultimo = esito;
		struct timespec pausa = {0, kPausaMs * 1000000L};
		nanosleep(&pausa, nullptr);
	}
}
