#include "uscita.h"

#include <cerrno>
#include <cstring>
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

void dire(const char *testo)
{
	scriviTutto(STDERR_FILENO, testo, std::strlen(testo));
}
