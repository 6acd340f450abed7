#include "leds.h"

#include "node.h"
#include "report.h"

#include <wiiuse.h>

#include <cerrno>
#include <cstdio>

namespace wiiuse_linux {

namespace {

// Writes the remote's LEDs; on failure, the errno and the file that failed.
int writeLeds(const Found &remote, unsigned char mask, std::string &failed)
{
	std::vector<std::string> files = ledFiles(remote);
	int error = 0;
	for (int i = 0; i < 4; ++i) {
		const std::string &file = files[static_cast<size_t>(i)];
		if (file.empty())
			continue;
		FILE *f = std::fopen(file.c_str(), "w");
		int e = f && std::fputs(mask & (WIIMOTE_LED_1 << i) ? "1" : "0", f) >= 0 ? 0 : errno;
		if (f && std::fclose(f) != 0 && !e)
			e = errno;
		if (e && !error) {
			error = e;
			failed = file;
		}
	}
	return error;
}

} // namespace

void lightLeds(const Found &remote, Leds &leds, Time now)
{
	static bool warned = false;
	std::string file;
	int error = writeLeds(remote, leds.mask, file);
	leds.triedAt = now;
	leds.owed = (error == EACCES || error == EPERM) && now < leds.graceUntil;
	if (!error || leds.owed || warned)
		return;
	warned = true;
	notice("impossibile accendere i led: " + file + ": " + refusal(file, error));
}

} // namespace wiiuse_linux
