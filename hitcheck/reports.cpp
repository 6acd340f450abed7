#include "reports.h"

#include <cstdio>

namespace {

struct Pulsante {
	unsigned short maschera;
	const char *riga;
};

// In the order the event report lists them.
constexpr Pulsante kPulsanti[] = {
	{WIIMOTE_BUTTON_A, "A pressed"},
	{WIIMOTE_BUTTON_B, "B pressed"},
	{WIIMOTE_BUTTON_UP, "UP pressed"},
	{WIIMOTE_BUTTON_DOWN, "DOWN pressed"},
	{WIIMOTE_BUTTON_LEFT, "LEFT pressed"},
	{WIIMOTE_BUTTON_RIGHT, "RIGHT pressed"},
	{WIIMOTE_BUTTON_MINUS, "MINUS pressed"},
	{WIIMOTE_BUTTON_PLUS, "PLUS pressed"},
	{WIIMOTE_BUTTON_ONE, "ONE pressed"},
	{WIIMOTE_BUTTON_TWO, "TWO pressed"},
	{WIIMOTE_BUTTON_HOME, "HOME pressed"},
};

bool appenaPremuto(const struct wiimote_t *wm, unsigned short maschera)
{
	return (wm->btns & maschera) && !(wm->btns_held & maschera);
}

int bit(int valore, int maschera)
{
	return (valore & maschera) ? 1 : 0;
}

} // namespace

void handle_event(struct wiimote_t *wm)
{
	std::printf("\n\n--- EVENT [id %i] ---\n", wm->unid);

	for (const Pulsante &p : kPulsanti)
		if (wm->btns & p.maschera)
			std::puts(p.riga);

	if (appenaPremuto(wm, WIIMOTE_BUTTON_UP))
		wiiuse_set_ir(wm, 1);
	if (appenaPremuto(wm, WIIMOTE_BUTTON_DOWN))
		wiiuse_set_ir(wm, 0);

	// The switch above may have changed the state: read it afresh.
	if (wm->state & kStatoInfrarossi) {
		for (int i = 0; i < 4; ++i)
			if (wm->ir.dot[i].visible)
				std::printf("IR source %i: (%u, %u)\n", i, wm->ir.dot[i].x,
				            wm->ir.dot[i].y);
		std::printf("IR cursor: (%u, %u)\n", static_cast<unsigned>(wm->ir.x),
		            static_cast<unsigned>(wm->ir.y));
		std::printf("IR z distance: %f\n", static_cast<double>(wm->ir.z));
	}
}

void handle_ctrl_status(struct wiimote_t *wm)
{
	std::printf("\n\n--- CONTROLLER STATUS [wiimote id %i] ---\n", wm->unid);
	std::printf("attachment:      %i\n", wm->exp.type);
	std::printf("speaker:         %i\n", bit(wm->state, kStatoAltoparlante));
	std::printf("ir:              %i\n", bit(wm->state, kStatoInfrarossi));
	std::printf("leds:            %i %i %i %i\n", bit(wm->leds, WIIMOTE_LED_1),
	            bit(wm->leds, WIIMOTE_LED_2), bit(wm->leds, WIIMOTE_LED_3),
	            bit(wm->leds, WIIMOTE_LED_4));
	std::printf("battery:         %f %%\n", static_cast<double>(wm->battery_level));
}
