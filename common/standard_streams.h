// Descriptors 0 to 2 open before anything else is: a program started with
// one of them closed would otherwise hand that number to the next file it
// opens (a remote's node, the serial device), and its own lines on standard
// output or error would be written into it.
#ifndef COMMON_STANDARD_STREAMS_H
#define COMMON_STANDARD_STREAMS_H

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Opens /dev/null onto each of 0 to 2 that is closed. False when one could
// not be: the program must not go on.
inline bool fillStandardStreams()
{
	for (int fd = 0; fd <= 2; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		// The lowest free number is taken: this one, as those below are open.
		int null;
		do
			null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
		while (null < 0 && errno == EINTR);
		if (null != fd) {
			if (null >= 0)
				close(null);
			return false;
		}
	}
	return true;
}

#endif
