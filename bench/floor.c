/* The floor for serialpulse: the same honest pulse and line with bare system
 * calls: open, write, wait for the byte to leave (on a terminal), close. */
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(void)
{
	for (;;) {
		int fd = open("/dev/ttyUSB0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
		if (fd < 0 || write(fd, "1", 1) != 1 || (tcdrain(fd) != 0 && errno != ENOTTY) || close(fd) != 0)
			return 1;
		if (write(1, "inviato...\n", 11) != 11)
			return 1;
	}
}
