// One search of the project's own wiiuse, for the BlueZ tests: finds at most
// one remote within SECONDS, with sysfs and /dev under ROOT, and prints how
// many it found.
#include "internal.h"

#include <wiiuse.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
	if (argc != 3) {
		std::fprintf(stderr, "usage: bluez_find ROOT SECONDS\n");
		return 2;
	}
	wiiuse_linux::useRoots(std::string(argv[1]) + "/sys", std::string(argv[1]) + "/dev");
	wiimote_t **group = wiiuse_init(1);
	std::printf("%d\n", wiiuse_find(group, 1, std::atoi(argv[2])));
	return 0;
}
