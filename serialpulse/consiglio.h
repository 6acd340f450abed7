// What a failed pulse says on standard error: the action, the path, the
// system's reason, and what may be done about it where the reason alone
// does not say it.
#ifndef SERIALPULSE_CONSIGLIO_H
#define SERIALPULSE_CONSIGLIO_H

#include "impulso.h"

// A refusal of a node that is root's alone: just plugged in, devtmpfs makes
// it root's a moment before udev gives it to its group.
bool soloDiRoot(const Esito &esito);

void riferisci(const Esito &esito);

#endif
