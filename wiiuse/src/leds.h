// A remote's four LEDs, through the driver's LED class devices in sysfs.
#ifndef WIIUSE_LEDS_H
#define WIIUSE_LEDS_H

#include "clock.h"
#include "sysfs.h"

namespace wiiuse_linux {

// An LED refused for want of rights just after the remote was taken is
// tried again this long, this often: udev's rules may not have opened it
// yet.
constexpr auto kLedGrace = std::chrono::seconds(2);
constexpr Ms kLedRetry{100};

struct Leds {
	unsigned char mask = 0; // wiiuse's LED bits
	Time graceUntil;         // refused LEDs are owed until then
	Time triedAt;
	bool owed = false;
};

// Lights `leds.mask` on the remote. Refused for want of rights within the
// grace, they are owed and tried again at triedAt + kLedRetry; what still
// fails is said once in the process, with its cause.
void lightLeds(const Found &remote, Leds &leds, Time now);

} // namespace wiiuse_linux

#endif
