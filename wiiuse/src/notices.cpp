#include "notices.h"

#include "report.h"

namespace wiiuse_linux {

namespace {

struct Told {
	bool unavailable = false, sync = false, rule = false, limited = false, refused = false, gone = false,
	     nothing = false;
	std::set<std::string> misnamed, forfeited, lost;
};

Told &told()
{
	static Told t;
	return t;
}

bool once(bool &flag)
{
	bool first = !flag;
	flag = true;
	return first;
}

std::string named(const std::string &name, const std::string &address)
{
	return name.empty() ? address : name + " (" + address + ")";
}

} // namespace

void cannotHelp(const std::string &why)
{
	if (once(told().unavailable))
		notice("Bluetooth non disponibile per la ricerca: " + why);
}

void hintSync(const std::string &who, const std::string &error)
{
	if (once(told().sync))
		notice("il wiimote " + who + " non si lascia collegare (" + error +
		       "): premi il tasto rosso SYNC sotto il coperchio delle batterie durante la ricerca");
}

void needsRule(const std::string &name, const std::string &address)
{
	if (once(told().rule))
		notice("il wiimote " + name + " (" + address +
		       ") non ha Device ID: il driver hid-wiimote lo prende solo con la regola udev di hitcheck; da root, "
		       "nella cartella dei sorgenti: install -m 644 udev/70-hitcheck-wiimote.rules /etc/udev/rules.d/ && "
		       "udevadm control --reload");
}

void limitedUnavailable(const std::string &adapter, const std::string &why)
{
	if (once(told().limited))
		notice("ricerca limitata non disponibile su " + adapter + ": " + why +
		       " (i wiimote che rispondono solo a quella non saranno trovati)");
}

void limitedRefused(const std::string &adapter)
{
	if (once(told().refused))
		notice("ricerca limitata rifiutata da " + adapter +
		       ": un altro programma sta cercando dispositivi Bluetooth (le impostazioni Bluetooth aperte, "
		       "bluetoothctl scan on); chiudilo, o i wiimote che rispondono solo a quella non saranno trovati");
}

void misnamed(const std::string &name, const std::string &address)
{
	if (told().misnamed.insert(address).second)
		notice("il dispositivo \"" + name + "\" (" + address +
		       ") sembra un wiimote ma non ne ha il nome: il driver hid-wiimote prende solo "
		       "\"Nintendo RVL-CNT-01\" e \"Nintendo RVL-CNT-01-TR\", lasciato stare");
}

void forfeited(const std::string &name, const std::string &address)
{
	if (told().forfeited.insert(address).second)
		notice("il dispositivo " + named(name, address) +
		       " non si presenta più come un wiimote: tolti la fiducia e l'associazione");
}

void bluetoothdGone(const std::string &why)
{
	if (once(told().gone))
		notice("bluetoothd non risponde più durante la ricerca (" + why +
		       "): la ricerca riprende quando torna; se non torna, da root: systemctl restart bluetooth");
}

void nothingFound()
{
	// Where Bluetooth could not help, why has been said already.
	if (!told().unavailable && once(told().nothing))
		notice("nessun wiimote trovato: premi il tasto rosso SYNC sotto il coperchio delle batterie nei primi "
		       "secondi della ricerca (i LED lampeggiano finché si associa); se non lampeggiano, cambia le batterie");
}

void remoteLost(const std::string &address, bool silent)
{
	if (!told().lost.insert(address).second)
		return;
	if (silent)
		notice("il wiimote " + address + " non risponde più: batterie scariche o fuori portata; torna a giocare "
		       "appena risponde");
	else
		notice("il wiimote " + address + " si è scollegato: spento, batterie tolte o esaurite, o fuori portata");
}

void forgetNotices()
{
	told() = Told{};
}

} // namespace wiiuse_linux
