/* The floor for serialpulse: the same honest pulse and line with bare system
 * calls: open without waiting for carrier, back to blocking writes, write,
 * wait for the byte to leave (on a terminal), ask the line whether it was
 * hung up meanwhile (which throws the byte away), close. */
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(void)
{
	for (;;) {
		struct termios line;
		int fd = open("/dev/ttyUSB0", O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
		if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0 || write(fd, "1", 1) != 1)
			return 1;
		if (tcdrain(fd) == 0 ? tcgetattr(fd, &line) != 0 : errno != ENOTTY)
			return 1;
		if (close(fd) != 0 || write(1, "inviato...\n", 11) != 11)
			return 1;
	}
}
