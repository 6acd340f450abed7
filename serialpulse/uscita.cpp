#include "uscita.h"

#include "printable.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

size_t scriviTutto(int fd, const char *dati, size_t quanti, void (*interrotto)())
{
	size_t fatti = 0;
	while (fatti < quanti) {
		ssize_t n = write(fd, dati + fatti, quanti - fatti);
		if (n < 0 && errno == EINTR) {
			if (interrotto)
				interrotto();
			continue;
		}
		// A descriptor handed over non-blocking (standard output from a
		// terminal multiplexer, a parent process) has no room while its
		// reader is behind: wait for it, lose nothing.
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			pollfd spazio = {fd, POLLOUT, 0};
			if (poll(&spazio, 1, -1) < 0) {
				if (errno != EINTR)
					break;
				if (interrotto)
					interrotto();
			}
			continue;
		}
		if (n <= 0)
			break;
		fatti += static_cast<size_t>(n);
	}
	return fatti;
}

void dire(const char *formato, ...)
{
	char riga[512];
	va_list argomenti;
	va_start(argomenti, formato);
	int n = std::vsnprintf(riga, sizeof riga, formato, argomenti);
	va_end(argomenti);
	if (n <= 0)
		return;
	// Its line break is ours; any other control byte, from a group's name
	// say, is shown, never obeyed.
	std::string testo(riga, std::min(static_cast<size_t>(n), sizeof riga - 1));
	bool aCapo = !testo.empty() && testo.back() == '\n';
	if (aCapo)
		testo.pop_back();
	testo = printable_text::printable(testo) + (aCapo ? "\n" : "");
	scriviTutto(STDERR_FILENO, testo.data(), testo.size());
}
