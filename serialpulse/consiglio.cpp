#include "consiglio.h"

#include "uscita.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kAzioni[] = {"", "aprire", "scrivere su", "chiudere"};

// The group of the device's node, or -1 when it cannot be seen.
long gruppoNodo()
{
	struct stat st;
	return stat(kDispositivo, &st) == 0 ? static_cast<long>(st.st_gid) : -1;
}

bool faParte(gid_t gruppo)
{
	int quanti = getgroups(0, nullptr);
	std::vector<gid_t> gruppi(static_cast<size_t>(quanti > 0 ? quanti : 0));
	if (quanti > 0 && getgroups(quanti, gruppi.data()) == quanti)
		for (gid_t g : gruppi)
			if (g == gruppo)
				return true;
	return getegid() == gruppo;
}

const char *consiglio(const Esito &esito, char *spazio, size_t misura)
{
	if (esito.azione != Azione::Aprire)
		return "";
	if (esito.errore == EBUSY)
		return " (un altro programma tiene la porta in esclusiva)";
	if (esito.errore != EACCES)
		return "";
	long gid = gruppoNodo();
	if (gid == 0)
		return " (il nodo è solo di root: le regole udev per gli adattatori seriali non sono state "
		       "applicate)";
	// Joining the node's group helps only a user who is not in it.
	const struct group *gruppo = gid > 0 ? getgrgid(static_cast<gid_t>(gid)) : nullptr;
	if (!gruppo || faParte(gruppo->gr_gid))
		return "";
	std::snprintf(spazio, misura, " (l'utente deve far parte del gruppo %s: vedi il README, \"Permissions\")",
	              gruppo->gr_name);
	return spazio;
}

} // namespace

bool soloDiRoot(const Esito &esito)
{
	return esito.azione == Azione::Aprire && esito.errore == EACCES && gruppoNodo() == 0;
}

void riferisci(const Esito &esito)
{
	char spazio[160];
	const char *motivo =
		esito.errore == kNonCarattere ? "non è un dispositivo a caratteri" : std::strerror(esito.errore);
	dire("impossibile %s %s: %s%s\n", kAzioni[static_cast<int>(esito.azione)], kDispositivo, motivo,
	     consiglio(esito, spazio, sizeof spazio));
}
