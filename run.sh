#!/usr/bin/env bash
# Installs what is missing, sets up what playing with real remotes needs
# (bluetoothd running, the project's udev rule, group hitcheck with the
# user in it), builds hitcheck and serialpulse, and starts hitcheck. A
# second run changes nothing and starts at once.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need-packages.sh
. scripts/configure.sh
need_packages "${BUILD_PACKAGES[@]}"
if [ ${#ROOT_STEPS[@]} -gt 0 ]; then
	# Nothing can be built without them.
	tell_root_steps "installare ciò che serve a compilare"
	exit 1
fi
need_packages "${PLAY_PACKAGES[@]}"
missing=() # what could not be set up here, with its command

# bluetoothd, to find and pair the remotes.
if [ -d /run/systemd/system ]; then
	systemctl is-active --quiet bluetooth || as_root systemctl enable --now bluetooth ||
		missing+=("bluetoothd non parte: sudo systemctl enable --now bluetooth")
elif ! grep -qsx bluetoothd /proc/[0-9]*/comm; then
	missing+=("bluetoothd non è in esecuzione: sudo service bluetooth start")
fi

# Group hitcheck, and the rule that gives it the remotes' nodes and LEDs.
getent group hitcheck >/dev/null || as_root groupadd --system hitcheck
rule=udev/70-hitcheck-wiimote.rules
if ! cmp -s "$rule" /usr/lib/udev/rules.d/70-hitcheck-wiimote.rules &&
	! cmp -s "$rule" /etc/udev/rules.d/70-hitcheck-wiimote.rules; then
	kept=${#ROOT_STEPS[@]}
	as_root install -m 644 "$PWD/$rule" /etc/udev/rules.d/
	as_root udevadm control --reload 2>/dev/null ||
		missing+=("udev non è in esecuzione: la regola vale dal prossimo avvio di udev")
	[ ${#ROOT_STEPS[@]} -gt "$kept" ] || echo "regola udev installata: riconnetti i wiimote già collegati" >&2
fi
user=$(id -un)
if [ "$user" != root ] && ! id -nG "$user" | tr ' ' '\n' | grep -qx hitcheck; then
	as_root usermod -aG hitcheck "$user"
fi
for m in "${missing[@]}"; do echo "run.sh: $m" >&2; done
tell_root_steps "preparare il gioco (bluetoothd, gruppo hitcheck, regola udev, il tuo utente nel gruppo)"

configure_for_run build
cmake --build build -j"$(nproc)" >/dev/null
# Joined just now, the user is in the group for this run already, without
# logging in again.
if [ "$user" != root ] && ! id -nG | tr ' ' '\n' | grep -qx hitcheck && getent group hitcheck >/dev/null &&
	id -nG "$user" | tr ' ' '\n' | grep -qx hitcheck; then
	exec sg hitcheck -c "exec build/hitcheck/hitcheck"
fi
exec build/hitcheck/hitcheck
