// The library's one way to standard error. Its messages, each a line of its
// own; and while a search waits for the operator, one line more, on a
// terminal only: what to press, and the seconds left. That line is redrawn
// in place and erased when the search ends, or when a signal ends the
// program during it, so the terminal is left as it would be without it;
// logs and scripts never see it.
#ifndef WIIUSE_REPORT_H
#define WIIUSE_REPORT_H

#include "clock.h"

#include <string>

namespace wiiuse_linux {

// A message, with its line break: the countdown shown is erased first, and
// drawn again at its next update. A control byte in it (from a device's
// name, a path) is shown escaped, never sent.
void notice(const std::string &text);
// How many messages have been said so far.
long noticesSaid();

// Draws the line for a search that ends at `deadline`, or brings it up to
// date; it is written again only when what it says changes. It is not drawn
// where it would not fit on one row of the terminal, nor on a terminal that
// cannot go back to the start of a row (TERM=dumb).
void showCountdown(Time deadline);

// Erases the line, if it is shown.
void eraseCountdown();

// While a search lasts: SIGINT, SIGTERM and SIGHUP erase the line before
// they end the program as they would have. Checked at each turn of the
// search (a wait ends at the signal).
struct Interruptible {
	Interruptible();
	~Interruptible();
	Interruptible(const Interruptible &) = delete;
	Interruptible &operator=(const Interruptible &) = delete;
};
void endIfInterrupted();

} // namespace wiiuse_linux

#endif
