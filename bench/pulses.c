/* Counts the lines a pulse program prints in a given time, with /dev/null or
 * a pseudo-terminal at /dev/ttyUSB0 in a private mount namespace. Needs root.
 * Usage: pulses null|pty SECONDS PROGRAM */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: pulses null|pty SECONDS PROGRAM\n");
		return 2;
	}
	int pty = strcmp(argv[1], "pty") == 0;
	double seconds = atof(argv[2]);
	int master = -1, slave = -1;
	char slavePath[64] = "";
	if (pty) {
		/* The slave stays open here, so the line never hangs up between pulses. */
		struct termios t;
		master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
		if (master < 0 || grantpt(master) || unlockpt(master) ||
		    ptsname_r(master, slavePath, sizeof slavePath) ||
		    (slave = open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 || tcgetattr(slave, &t)) {
			perror("pseudo-terminal");
			return 1;
		}
		cfmakeraw(&t);
		tcsetattr(slave, TCSANOW, &t);
	}
	int out[2];
	if (pipe2(out, O_CLOEXEC)) {
		perror("pipe");
		return 1;
	}
	pid_t pid = fork();
	if (pid == 0) {
		if (unshare(CLONE_NEWNS) || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL))
			_exit(126);
		/* The pseudo-terminals stay reachable under the new /dev. */
		int pts = open("/dev/pts", O_PATH | O_CLOEXEC);
		char ptsPath[64];
		snprintf(ptsPath, sizeof ptsPath, "/proc/self/fd/%d", pts);
		if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") ||
		    mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)))
			_exit(126);
		if (pty ? mkdir("/dev/pts", 0755) || mount(ptsPath, "/dev/pts", NULL, MS_BIND, NULL) ||
		              symlink(slavePath, "/dev/ttyUSB0")
		        : mknod("/dev/ttyUSB0", S_IFCHR | 0666, makedev(1, 3)))
			_exit(126);
		dup2(out[1], 1);
		execl(argv[3], argv[3], (char *)NULL);
		_exit(127);
	}
	close(out[1]);
	long lines = 0;
	char buf[65536];
	double end = now() + seconds;
	struct pollfd p[2] = {{out[0], POLLIN, 0}, {master, POLLIN, 0}};
	while (now() < end) {
		if (poll(p, pty ? 2 : 1, 100) <= 0)
			continue;
		if (p[1].revents && read(master, buf, sizeof buf) < 0)
			break;
		if (p[0].revents) {
			ssize_t n = read(out[0], buf, sizeof buf);
			if (n <= 0)
				break;
			for (ssize_t i = 0; i < n; ++i)
				lines += buf[i] == '\n';
		}
	}
	kill(pid, SIGKILL);
	waitpid(pid, NULL, 0);
	printf("%ld\n", lines);
	return 0;
}
