/* The floor for serialpulse: the same pulse and line with bare system calls. */
#include <fcntl.h>
#include <unistd.h>

int main(void)
{
	for (;;) {
		int fd = open("/dev/ttyUSB0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
		if (fd < 0 || write(fd, "1", 1) != 1 || close(fd) != 0)
			return 1;
		if (write(1, "inviato...\n", 11) != 11)
			return 1;
	}
}
