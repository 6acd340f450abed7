#include "report.h"

#include "printable.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

long shown = -1; // the seconds on the screen; -1: no line
long said = 0;

void put(const std::string &text)
{
	std::fputs(text.c_str(), stderr);
	std::fflush(stderr);
}

// Columns the text takes: UTF-8 continuation bytes take none.
size_t columns(const std::string &text)
{
	size_t n = 0;
	for (unsigned char c : text)
		n += (c & 0xC0) != 0x80;
	return n;
}

// Whether a line of `width` columns can be drawn and erased in place.
bool canDraw(size_t width)
{
	if (!isatty(STDERR_FILENO))
		return false;
	const char *term = std::getenv("TERM");
	if (term && !std::strcmp(term, "dumb"))
		return false;
	winsize ws{};
	// A width the terminal does not tell is taken as the classic 80.
	size_t cols = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col ? ws.ws_col : 80;
	// The last column is left free: some terminals wrap on reaching it.
	return width < cols;
}

volatile std::sig_atomic_t interrupted = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction before[3];

void onSignal(int sig)
{
	interrupted = sig;
}

} // namespace

void notice(const std::string &text)
{
	eraseCountdown();
	put(printable_text::printable(text) + "\n");
	++said;
}

long noticesSaid()
{
	return said;
}

void showCountdown(Time deadline)
{
	auto left = deadline - now();
	// Rounded up: "1 s" until the end. Past the deadline, a pairing or a
	// connection begun before it is being seen through.
	long seconds = left <= left.zero() ? 0 : std::chrono::duration_cast<std::chrono::seconds>(left).count() + 1;
	if (seconds == shown)
		return;
	std::string text = seconds ? "premi SYNC (sotto le batterie) o, se già associato, un tasto: ancora " +
	                                 std::to_string(seconds) + " s"
	                           : std::string("collegamento del wiimote in corso...");
	if (!canDraw(columns(text))) {
		eraseCountdown();
		return;
	}
	shown = seconds;
	put("\r" + text + "\033[K");
}

void eraseCountdown()
{
	if (shown < 0)
		return;
	shown = -1;
	put("\r\033[K");
}

Interruptible::Interruptible()
{
	interrupted = 0;
	struct sigaction sa{};
	sa.sa_handler = onSignal;
	sigemptyset(&sa.sa_mask);
	for (int i = 0; i < 3; ++i) {
		sigaction(kSignals[i], nullptr, &before[i]);
		// A signal ignored by whoever started the program stays ignored.
		if (before[i].sa_handler == SIG_DFL)
			sigaction(kSignals[i], &sa, nullptr);
	}
}

Interruptible::~Interruptible()
{
	for (int i = 0; i < 3; ++i)
		if (before[i].sa_handler == SIG_DFL)
			sigaction(kSignals[i], &before[i], nullptr);
	endIfInterrupted();
}

void endIfInterrupted()
{
	int sig = interrupted;
	if (!sig)
		return;
	eraseCountdown();
	// Ended by the signal, as it would have been without the line.
	std::signal(sig, SIG_DFL);
	raise(sig);
}

} // namespace wiiuse_linux
