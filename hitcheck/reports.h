// The hit checker's two console reports, and the state bits they and the
// main loop read in a remote's record.
#ifndef HITCHECK_REPORTS_H
#define HITCHECK_REPORTS_H

#include <wiiuse.h>

// Bits of wiimote_t::state.
constexpr int kStatoConnesso = 0x08;
constexpr int kStatoInfrarossi = 0x80;
constexpr int kStatoAltoparlante = 0x100;

// Report of a generic event: buttons, and the camera's view while infrared
// reporting is on. UP just pressed switches infrared on, DOWN switches it off.
void handle_event(struct wiimote_t *wm);

// Report of a status event: expansion, speaker, infrared, LEDs, battery.
void handle_ctrl_status(struct wiimote_t *wm);

#endif
