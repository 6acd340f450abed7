# Sourced: need_packages PKG... installs with apt-get those not yet installed.
need_packages() {
	local missing=()
	local p
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	local sudo=()
	[ "$(id -u)" -eq 0 ] || sudo=(sudo)
	echo "installing: ${missing[*]}" >&2
	"${sudo[@]}" apt-get update -q
	DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(cmake g++ make pkg-config libevdev-dev libsystemd-dev)
# Playing with real remotes: bluetoothd, and udev to give out their nodes.
PLAY_PACKAGES=(bluez udev)
TEST_PACKAGES=(libgtest-dev libgmock-dev dpkg-dev lintian man-db groff-base python3-dbusmock dbus-daemon)
# The checks against the kernel's drivers, in a virtual machine, Bluetooth included.
VM_PACKAGES=(qemu-system-x86 busybox-static cpio file libbluetooth-dev bluez bluez-test-tools dbus-daemon udev xz-utils)
