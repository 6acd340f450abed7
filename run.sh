#!/usr/bin/env bash
# Installs what is missing, sets up what playing with real remotes needs
# (bluetoothd running, the project's udev rule, group hitcheck with the
# user in it, and group dialout for serialpulse), says what it set up,
# builds hitcheck and serialpulse, and starts hitcheck. A second run
# changes nothing and starts at once.
set -euo pipefail
# Its own directory, whatever its name holds (a trailing line break too).
here=$(dirname -- "$0"; echo .)
cd -- "${here%?.}"
. scripts/need-packages.sh
. scripts/configure.sh
need_packages "${BUILD_PACKAGES[@]}"
if [ ${#ROOT_STEPS[@]} -gt 0 ]; then
	# Nothing can be built without them.
	tell_root_steps "installare ciò che serve a compilare"
	exit 1
fi
need_packages "${PLAY_PACKAGES[@]}"
missing=() # what could not be set up here, and why

# bluetoothd, to find and pair the remotes; it needs the system bus. With
# no adapter at all there is nothing for it to do.
if ! compgen -G "/sys/class/bluetooth/hci*" >/dev/null; then
	missing+=("nessun adattatore Bluetooth su questa macchina: collegane uno (interno o USB) e rilancia ./run.sh")
elif [ -d /run/systemd/system ]; then
	systemctl is-active --quiet bluetooth || root_step "bluetoothd avviato" systemctl enable --now bluetooth ||
		missing+=("bluetoothd non parte: $(root_hint)systemctl enable --now bluetooth; journalctl -u bluetooth dice perché")
elif ! grep -qsx bluetoothd /proc/[0-9]*/comm; then
	[ -S /run/dbus/system_bus_socket ] || root_step "D-Bus avviato" service dbus start ||
		missing+=("il bus di sistema (D-Bus) non parte: $(root_hint)service dbus start")
	root_step "bluetoothd avviato (senza systemd va riavviato a ogni accensione: rilancia ./run.sh)" \
		service bluetooth start || missing+=("bluetoothd non parte: $(root_hint)service bluetooth start")
fi

# Group hitcheck, and the rule that gives it the remotes' nodes and LEDs.
getent group hitcheck >/dev/null || root_step "gruppo hitcheck creato" groupadd --system hitcheck
rule=udev/70-hitcheck-wiimote.rules
installed=/etc/udev/rules.d/70-hitcheck-wiimote.rules
if ! cmp -s "$rule" /usr/lib/udev/rules.d/70-hitcheck-wiimote.rules && ! cmp -s "$rule" "$installed"; then
	echo "run.sh: la regola udev di hitcheck dà al gruppo hitcheck i nodi e i LED dei wiimote; per i wiimote" \
		"senza Device ID, dal primo collegato fino al riavvio, hid-wiimote e non hid-generic prende ogni" \
		"dispositivo Bluetooth HID senza Device ID (tastiere e mouse compresi)" >&2
	# Its text, read now, is what root writes: the line to paste carries
	# it, so a file changed meanwhile changes nothing.
	[ -f "$rule" ] && [ ! -L "$rule" ] || { echo "run.sh: $rule non è un file della copia dei sorgenti" >&2; exit 1; }
	text=$(cat -- "$rule")
	root_step "regola udev installata (riconnetti i wiimote già collegati)" \
		sh -c 'umask 022 && printf "%s\n" "$1" >"$2"' sh "$text" "$installed"
	if [ ! -S /run/udev/control ]; then
		missing+=("udev non è in esecuzione: i nodi dei wiimote restano di root finché non parte, e la regola vale da allora")
	else
		as_root udevadm control --reload
	fi
elif [ ! -S /run/udev/control ]; then
	missing+=("udev non è in esecuzione: i nodi dei wiimote restano di root finché non parte")
fi
# The remotes' group, and the serial line's for serialpulse.
user=$(id -un)
join=()
for g in hitcheck dialout; do
	id -nG "$user" | tr ' ' '\n' | grep -qx "$g" || join+=("$g")
done
if [ "$user" != root ] && [ ${#join[@]} -gt 0 ]; then
	root_step "$user aggiunto ai gruppi ${join[*]} (valgono dal prossimo accesso; questo hitcheck parte già nel gruppo hitcheck)" \
		usermod -aG "$(IFS=,; echo "${join[*]}")" "$user"
fi
for m in "${missing[@]}"; do echo "run.sh: $m" >&2; done
if [ ${#SET_UP[@]} -gt 0 ]; then
	line=$(printf '%s; ' "${SET_UP[@]}")
	echo "run.sh: preparato: ${line%; }" >&2
fi
tell_root_steps "preparare il gioco (bluetoothd, gruppo hitcheck, regola udev, il tuo utente nei gruppi hitcheck e dialout)"

# The first build takes a minute or two, with nothing else to show.
if [ ! -x build/hitcheck/hitcheck ] ||
	[ -n "$(find CMakeLists.txt cmake common hitcheck hitview serialpulse wiiuse -newer build/hitcheck/hitcheck -print -quit)" ]; then
	echo "run.sh: compilo hitcheck, hitview e serialpulse in build/ (la prima volta un paio di minuti)..." >&2
fi
configure_for_run build
cmake --build build -j"$(nproc)" >/dev/null
# Joined just now, the user is in the group for this run already, without
# logging in again: sg stays hitcheck's parent, so hitcheck ends with it,
# and a signal to this script's process (a supervisor's) reaches it.
if [ "$user" != root ] && ! id -nG | tr ' ' '\n' | grep -qx hitcheck && getent group hitcheck >/dev/null &&
	id -nG "$user" | tr ' ' '\n' | grep -qx hitcheck; then
	exec sg hitcheck -c "exec setpriv --pdeathsig TERM build/hitcheck/hitcheck"
fi
exec build/hitcheck/hitcheck
