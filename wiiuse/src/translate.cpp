#include "translate.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace wiiuse_linux {

namespace {

constexpr unsigned kCameraMaxX = 1023;

// A generic event: the buttons that stay down count as held from before.
void commitButtons(struct wiimote_t &wm, unsigned short now)
{
	wm.btns_held = wm.btns & now;
	wm.btns_released = wm.btns & static_cast<unsigned short>(~now);
	wm.btns = now;
}

bool isFrameEnd(const input_event &ev)
{
	return ev.type == EV_SYN && ev.code == SYN_REPORT;
}

// Puts what the pending slots hold into the record; true when it changes
// what the camera sees.
bool showIr(const Pending &pending, struct wiimote_t &wm)
{
	ir_t ir = wm.ir;
	ir.num_dots = 0;
	unsigned sumX = 0, sumY = 0;
	int first = -1, second = -1;
	for (int i = 0; i < 4; ++i) {
		ir_dot_t &dot = ir.dot[i];
		// A source that leaves makes y jump to the empty 1023, which the
		// kernel never smooths; x may stick a unit or two short of 1023
		// at the camera's edge.
		dot.visible = pending.y[i] <= kCameraMaxY;
		// The driver gives x as the camera sees it; wiiuse mirrors it, so
		// that x grows as the remote turns right.
		dot.x = dot.visible ? kCameraMaxX - std::min(pending.x[i], kCameraMaxX) : 0;
		dot.y = dot.visible ? pending.y[i] : 0;
		if (!dot.visible)
			continue;
		++ir.num_dots;
		sumX += dot.x;
		sumY += dot.y;
		if (first < 0)
			first = i;
		else if (second < 0)
			second = i;
	}
	bool changed = false;
	for (int i = 0; i < 4; ++i)
		changed = changed || ir.dot[i].visible != wm.ir.dot[i].visible ||
		          ir.dot[i].x != wm.ir.dot[i].x || ir.dot[i].y != wm.ir.dot[i].y;
	if (!changed)
		return false;

	ir.x = ir.num_dots ? static_cast<int>(sumX / ir.num_dots) : 0;
	ir.y = ir.num_dots ? static_cast<int>(sumY / ir.num_dots) : 0;
	if (ir.num_dots == 0) {
		ir.z = 0;
	} else if (second >= 0) {
		double dx = double(ir.dot[first].x) - double(ir.dot[second].x);
		double dy = double(ir.dot[first].y) - double(ir.dot[second].y);
		ir.z = static_cast<float>(1023.0 - std::sqrt(dx * dx + dy * dy));
	}
	wm.ir = ir;
	return true;
}

unsigned axisValue(int value)
{
	return value < 0 ? 0 : static_cast<unsigned>(value);
}

} // namespace

unsigned short buttonMask(unsigned code)
{
	switch (code) {
	case KEY_LEFT: return WIIMOTE_BUTTON_LEFT;
	case KEY_RIGHT: return WIIMOTE_BUTTON_RIGHT;
	case KEY_UP: return WIIMOTE_BUTTON_UP;
	case KEY_DOWN: return WIIMOTE_BUTTON_DOWN;
	case KEY_NEXT: return WIIMOTE_BUTTON_PLUS;
	case KEY_PREVIOUS: return WIIMOTE_BUTTON_MINUS;
	case BTN_1: return WIIMOTE_BUTTON_ONE;
	case BTN_2: return WIIMOTE_BUTTON_TWO;
	case BTN_A: return WIIMOTE_BUTTON_A;
	case BTN_B: return WIIMOTE_BUTTON_B;
	case BTN_MODE: return WIIMOTE_BUTTON_HOME;
	default: return 0;
	}
}

bool applyCoreEvent(Pending &pending, struct wiimote_t &wm, const input_event &ev)
{
	if (ev.type == EV_KEY) {
		unsigned short mask = buttonMask(ev.code);
		if (ev.value == 1)
			pending.buttons |= mask;
		else if (ev.value == 0)
			pending.buttons &= static_cast<unsigned short>(~mask);
		return false;
	}
	if (!isFrameEnd(ev) || pending.buttons == wm.btns)
		return false;
	commitButtons(wm, pending.buttons);
	return true;
}

bool applyIrEvent(Pending &pending, struct wiimote_t &wm, const input_event &ev)
{
	if (ev.type == EV_ABS && ev.code >= ABS_HAT0X && ev.code <= ABS_HAT3Y) {
		int slot = (ev.code - ABS_HAT0X) / 2;
		((ev.code - ABS_HAT0X) % 2 == 0 ? pending.x : pending.y)[slot] = axisValue(ev.value);
		return false;
	}
	if (!isFrameEnd(ev) || !showIr(pending, wm))
		return false;
	commitButtons(wm, wm.btns);
	return true;
}

void seedIr(Pending &pending, struct wiimote_t &wm, const int (&axes)[8])
{
	for (int i = 0; i < 4; ++i) {
		bool unused = axes[2 * i] == 0 && axes[2 * i + 1] == 0;
		pending.x[i] = unused ? kNoSource : axisValue(axes[2 * i]);
		pending.y[i] = unused ? kNoSource : axisValue(axes[2 * i + 1]);
	}
	showIr(pending, wm);
}

void seedButtons(Pending &pending, struct wiimote_t &wm, unsigned short down)
{
	pending.buttons = down;
	wm.btns = wm.btns_held = down;
	wm.btns_released = 0;
}

void clearIr(Pending &pending, struct wiimote_t &wm)
{
	for (int i = 0; i < 4; ++i)
		pending.x[i] = pending.y[i] = kNoSource;
	wm.ir = ir_t{};
}

int expansionType(const std::string &name)
{
	static const std::pair<const char *, int> kTypes[] = {
		{"none", EXP_NONE},           {"nunchuk", EXP_NUNCHUK},
		{"classic", EXP_CLASSIC},     {"guitar", EXP_GUITAR_HERO_3},
		{"balanceboard", EXP_WII_BOARD}, {"drums", EXP_DRUMS},
		{"procontroller", EXP_PRO_CONTROLLER}};
	for (auto [known, type] : kTypes)
		if (name == known)
			return type;
	return EXP_UNKNOWN;
}

} // namespace wiiuse_linux
