# Sourced: how the two commands do what needs root, and install packages.

# Whether sudo can make this user root: it is there, and the user is in
# group sudo (Debian's rule) or may use it without a password.
have_sudo() {
	command -v sudo >/dev/null &&
		{ id -nG | tr ' ' '\n' | grep -qx -e sudo -e admin -e wheel || sudo -n true 2>/dev/null; }
}

# root_hint: what to write before a command that needs root, in advice:
# nothing as root, "sudo " where sudo works, else the root password's way.
root_hint() {
	if [ "$(id -u)" -eq 0 ]; then
		echo ""
	elif have_sudo; then
		echo "sudo "
	else
		echo "da root (su -): "
	fi
}

# as_root CMD...: runs CMD as root: as it is when root, else through sudo.
# Where sudo cannot (a Debian installed with a root password), CMD is not
# run but kept in ROOT_STEPS, for tell_root_steps to hand on; it then
# counts as done.
ROOT_STEPS=()
as_root() {
	if [ "$(id -u)" -eq 0 ]; then
		"$@"
	elif have_sudo; then
		sudo "$@"
	else
		ROOT_STEPS+=("$(printf '%q ' "$@")")
	fi
}

# Says, when anything was kept, what needs root and the one command that
# does it all, for the root password.
tell_root_steps() { # WHAT
	[ ${#ROOT_STEPS[@]} -gt 0 ] || return 0
	local line="" s
	for s in "${ROOT_STEPS[@]}"; do line+="${line:+; }${s% }"; done
	echo "$(basename "$0"): sudo non è disponibile per questo utente: serve root per $1; fallo con la password di root:" >&2
	echo "  su -c '${line//\'/\'\\\'\'}'" >&2
}

# need_packages PKG...: installs with apt-get those not yet installed.
need_packages() {
	local missing=()
	local p
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	local me
	me=$(basename "$0")
	echo "$me: installo i pacchetti che mancano: ${missing[*]}" >&2
	# apt's own lines go with ours; an index that cannot be fetched leaves
	# the one there, and the install says whether it was enough.
	as_root apt-get update -q >&2 || true
	as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 || {
		echo "$me: impossibile installare ${missing[*]}: senza rete, o apt non li trova; collega la macchina a" \
			"internet e rilancia $me, oppure da root: apt-get install ${missing[*]} (da un mirror o dal DVD di Debian)" >&2
		exit 1
	}
}

# root_step WHAT CMD...: as_root CMD; once done here (not kept for the root
# password), WHAT joins SET_UP, which says what was set up.
SET_UP=()
root_step() {
	local what=$1 kept=${#ROOT_STEPS[@]}
	shift
	as_root "$@" || return 1
	[ ${#ROOT_STEPS[@]} -gt "$kept" ] || SET_UP+=("$what")
}

BUILD_PACKAGES=(cmake g++ make pkg-config libevdev-dev libsystemd-dev libncurses-dev)
# Playing with real remotes: bluetoothd, and udev to give out their nodes.
PLAY_PACKAGES=(bluez udev)
TEST_PACKAGES=(libgtest-dev libgmock-dev dpkg-dev lintian man-db groff-base python3-dbusmock dbus-daemon)
# The checks against the kernel's drivers, in a virtual machine, Bluetooth included.
VM_PACKAGES=(qemu-system-x86 busybox-static cpio file libbluetooth-dev bluez bluez-test-tools dbus-daemon udev xz-utils)
