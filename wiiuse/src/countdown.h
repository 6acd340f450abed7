// While a search waits for the operator, one line on standard error, and
// only when it is a terminal: what to press, and the seconds left. It is
// redrawn in place and erased when the search ends, so the terminal is left
// as it would be without it; logs and scripts never see it.
#ifndef WIIUSE_COUNTDOWN_H
#define WIIUSE_COUNTDOWN_H

#include <chrono>
#include <string>

namespace wiiuse_linux {

// Draws the line for a search that ends at `deadline`, or brings it up to
// date; it is written again only when what it says changes.
void showCountdown(std::chrono::steady_clock::time_point deadline);

// Erases the line, if it is shown.
void eraseCountdown();

// A message of its own on standard error, with its line break: the line
// shown is erased first, and drawn again at the next update.
void notice(const std::string &text);

} // namespace wiiuse_linux

#endif
