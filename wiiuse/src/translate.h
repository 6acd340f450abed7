// From the kernel driver's input events to wiiuse records: no I/O here.
#ifndef WIIUSE_TRANSLATE_H
#define WIIUSE_TRANSLATE_H

#include <wiiuse.h>

#include <linux/input.h>
#include <string>

namespace wiiuse_linux {

constexpr int kStateConnected = 0x08;
constexpr int kStateIr = 0x80;
constexpr unsigned kNoSource = 1023; // what the driver reports for an empty camera slot
constexpr unsigned kCameraMaxY = 767; // a slot whose y lies beyond holds no source

// What the driver has said since the last frame it completed (SYN_REPORT).
struct Pending {
	unsigned short buttons = 0; // down now, as wiiuse masks
	unsigned x[4] = {kNoSource, kNoSource, kNoSource, kNoSource};
	unsigned y[4] = {kNoSource, kNoSource, kNoSource, kNoSource};
};

// The wiiuse mask of a key of the remote's core device; 0 for other keys.
unsigned short buttonMask(unsigned code);

// Applies one event of the core device (buttons). True when it completes a
// frame that changes the buttons: a generic event, already in the record.
bool applyCoreEvent(Pending &pending, struct wiimote_t &wm, const input_event &ev);

// Applies one event of the IR device (camera slots). True when it completes
// a frame that changes the sources: a generic event, already in the record.
bool applyIrEvent(Pending &pending, struct wiimote_t &wm, const input_event &ev);

// Takes the camera's slots as the kernel holds them, x and y of slot 0 to 3
// (ABS_HAT0X to ABS_HAT3Y), as what the camera sees now, with no event: the
// kernel passes on only values that change, so a still scene would
// otherwise show no source until something moves. A slot at (0, 0) is
// empty: the driver starts every axis there before the camera first reports.
void seedIr(Pending &pending, struct wiimote_t &wm, const int (&axes)[8]);

// Starts the buttons from `down` (wiiuse masks), the keys the kernel holds
// down as a node opens: they count as held from before, so they show but
// switch nothing. What was pending is forgotten: keys held as a remote went
// are never released.
void seedButtons(Pending &pending, struct wiimote_t &wm, unsigned short down);

// Forgets every source: the camera is off.
void clearIr(Pending &pending, struct wiimote_t &wm);

// exp.type for the driver's name of an extension ("none", "nunchuk", ...).
int expansionType(const std::string &name);

} // namespace wiiuse_linux

#endif
