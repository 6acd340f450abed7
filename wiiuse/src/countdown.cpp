#include "countdown.h"

#include <cstdio>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

long shown = -1; // the seconds on the screen; -1: no line

void put(const std::string &text)
{
	std::fputs(text.c_str(), stderr);
	std::fflush(stderr);
}

} // namespace

void showCountdown(std::chrono::steady_clock::time_point deadline)
{
	if (!isatty(STDERR_FILENO))
		return;
	auto left = deadline - std::chrono::steady_clock::now();
	// Rounded up: "1 s" until the end. Past the deadline, a pairing or a
	// connection begun before it is being seen through.
	long seconds = left <= left.zero() ? 0 : std::chrono::duration_cast<std::chrono::seconds>(left).count() + 1;
	if (seconds == shown)
		return;
	shown = seconds;
	put("\r" +
	    (seconds ? "premi SYNC (sotto le batterie) o, se già associato, un tasto: ancora " +
	                   std::to_string(seconds) + " s"
	             : std::string("collegamento del wiimote in corso...")) +
	    "\033[K");
}

void eraseCountdown()
{
	if (shown < 0)
		return;
	shown = -1;
	put("\r\033[K");
}

void notice(const std::string &text)
{
	eraseCountdown();
	put(text + "\n");
}

} // namespace wiiuse_linux
