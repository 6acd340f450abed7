#!/usr/bin/env bash
# Boots Debian's kernel under qemu with two virtual Wii Remotes (hid-wiimote
# over uhid) and an emulated FTDI USB serial adapter (ftdi_sio), and runs
# hitcheck and serialpulse against those drivers.
# Usage: run-vm.sh HITCHECK SERIALPULSE VMCHECK [checks|demo|air|bench FLOOR|idle BEFORE]
#   air: a never-paired remote over emulated Bluetooth (btvirt), through the
#   real bluetoothd and the kernel's hidp, as the player's; then an evening
#   of an original and a clone of the remotes sold today.
#   bench: rounds of serialpulse and of FLOOR on the adapter, as
#   "vm: bench serialpulse|floor LINES" lines, and nothing else.
#   idle: start-up and quiet CPU of HITCHECK and of BEFORE (another build),
#   as "vm: idle hitcheck|hitcheck-before FIGURE" lines, and nothing else.
# Exit status 77: qemu or the kernel cannot be had here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
hitcheck=$1 serialpulse=$2 vmcheck=$3 mode=${4:-checks} floor=${5:-}
cycles=10 # unplug and replug cycles of the serial adapter
skip() { echo "SKIP: $*"; exit 77; }

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed (Debian: qemu-system-x86)"
busybox=/bin/busybox
file "$busybox" 2>/dev/null | grep -q static || busybox=$(command -v busybox) || true
[ -x "$busybox" ] || skip "busybox is not installed (Debian: busybox-static)"
command -v cpio >/dev/null || skip "cpio is not installed"

# The stack the checks run on, chosen by HITCHECK_VM_STACK: debian12 (the
# default: this machine's release), debian13, Debian's current kernel and,
# over the air, its bluetoothd, or debiantesting, the next release's (on
# demand only). Their packages come from the same archive as the system's,
# through package lists of their own, apart from the system's. Everything
# is downloaded once and kept.
stack=${HITCHECK_VM_STACK:-debian12}
cache=${HITCHECK_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/hitcheck-vm}
mkdir -p "$cache"
# One run at a time fetches and unpacks: the tests run side by side.
exec 9>"$cache/.lock"
flock 9
apt=()
case $stack in
debian12) dl=$cache ;;
debian13 | debiantesting)
	dl=$cache/$stack
	suite=trixie
	[ "$stack" = debian13 ] || suite=testing
	mkdir -p "$dl/lists/partial" "$dl/parts" "$dl/apt/archives/partial"
	uri=$(apt-get indextargets --format '$(REPO_URI) $(LABEL)' 2>/dev/null | awk '$2 == "Debian" {print $1; exit}')
	[ -n "$uri" ] || skip "no Debian archive among the system's package sources"
	echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" >"$dl/sources.list"
	apt=(-o Dir::Etc::sourcelist="$dl/sources.list" -o Dir::Etc::sourceparts="$dl/parts"
		-o Dir::State::lists="$dl/lists" -o Dir::Cache="$dl/apt" -o Dir::State::status=/dev/null)
	;;
*)
	echo "HITCHECK_VM_STACK: debian12, debian13 or debiantesting, not $stack" >&2
	exit 2
	;;
esac
kernel_package() {
	apt-cache "${apt[@]}" depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
kpkg=$(kernel_package || true)
if [ -z "$kpkg" ]; then
	apt-get "${apt[@]}" update -q >/dev/null 2>&1 || true
	kpkg=$(kernel_package || true)
fi
[ -n "$kpkg" ] || skip "no linux-image-amd64 in the $stack package lists"
# fetch PACKAGE DIR: the package, downloaded and unpacked into DIR.
fetch() {
	[ -d "$2" ] && return 0
	(cd "$dl" && ls "$1"_*.deb >/dev/null 2>&1 || apt-get "${apt[@]}" download "$1" >/dev/null 2>&1) || return 1
	rm -rf "$2.tmp" && mkdir -p "$(dirname "$2")" && dpkg -x "$dl/$1"_*.deb "$2.tmp" && mv "$2.tmp" "$2"
}
kdir=$dl/$kpkg
fetch "$kpkg" "$kdir" || skip "could not download $kpkg"
# Debian's testing release splits the kernel: the image's package is empty
# and depends on the image itself, its modules and its base files, joined
# here into the one tree the rest expects.
if ! ls "$kdir"/boot/vmlinuz-* "$kdir"/usr/lib/modules/*/vmlinuz >/dev/null 2>&1; then
	for part in $(apt-cache "${apt[@]}" depends "$kpkg" 2>/dev/null |
		awk '/Depends: linux-(binary|modules|base)-[0-9]/ {print $2}'); do
		fetch "$part" "$kdir.parts/$part" || skip "could not download $part"
		cp -a "$kdir.parts/$part/." "$kdir/"
	done
fi
# That release's bluetoothd, with the libraries it needs from the same release.
bluez13=$dl/bluez
if [ "$stack" != debian12 ] && [ "$mode" = air ] && [ ! -d "$bluez13" ]; then
	libs=$(apt-cache "${apt[@]}" depends bluez 2>/dev/null | awk '/Depends: lib/ {print $2}')
	# shellcheck disable=SC2086
	libs=$(apt-cache "${apt[@]}" depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
		--no-replaces --no-enhances $libs 2>/dev/null | grep -E '^lib[^ <]*$' | sort -u)
	rm -rf "$bluez13.tmp"
	for p in bluez $libs; do
		fetch "$p" "$bluez13.tmp/$p" || skip "could not download $stack's $p"
	done
	mv "$bluez13.tmp" "$bluez13"
fi
flock -u 9
# In /boot, or beside the modules as the testing release puts it.
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* "$kdir"/usr/lib/modules/*/vmlinuz 2>/dev/null | head -n 1 || true)
[ -r "$vmlinuz" ] || skip "$kpkg has no kernel image"

work=$(mktemp -d)
qpid=
cleanup() { [ -n "$qpid" ] && kill "$qpid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# The initramfs: busybox, the programs and the libraries they need, the drivers.
root=$work/root
mkdir -p "$root"/{bin,modules,checks,dev,proc,sys,tmp}
cp "$busybox" "$root/bin/busybox"
cp "$hitcheck" "$root/bin/hitcheck"
cp "$serialpulse" "$root/bin/serialpulse"
cp "$vmcheck" "$root/bin/vmcheck"
# hitview, built beside hitcheck, runs after it in the checks.
hitview=${HITVIEW:-$(dirname "$hitcheck")/../hitview/hitview}
[ "$mode" = checks ] && [ -x "$hitview" ] && cp "$hitview" "$root/bin/hitview" || hitview=
if [ "$mode" = idle ]; then
	cp "$floor" "$root/bin/hitcheck-before"
elif [ -n "$floor" ]; then
	cp "$floor" "$root/bin/floor"
fi
# udev, with Debian's rules and the project's, hands the nodes out as on an
# operator's machine; hitcheck runs as "player", in group hitcheck alone.
udevadm=$(command -v udevadm) || skip "udev is not installed"
mkdir -p "$root/usr/bin" "$root/lib/systemd" "$root/lib/udev/rules.d" "$root/etc/udev/rules.d"
cp "$udevadm" "$root/usr/bin/udevadm"
ln -s /usr/bin/udevadm "$root/lib/systemd/systemd-udevd"
cp /lib/udev/rules.d/*.rules "$root/lib/udev/rules.d/"
cp "$here/../../udev/70-hitcheck-wiimote.rules" "$root/etc/udev/rules.d/"
mkdir -p "$root/etc"
printf 'root:x:0:0:root:/:/bin/sh\nplayer:x:1000:1000:player:/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ntty:x:5:\ndialout:x:20:\ninput:x:101:\nhitcheck:x:990:player\nplayer:x:1000:\n' >"$root/etc/group"
tools=("$udevadm")
modules="hid uhid ff-memless hid-wiimote evdev usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
if [ "$mode" = air ]; then
	for t in /usr/libexec/bluetooth/bluetoothd /usr/bin/btvirt /usr/bin/btmgmt /usr/bin/sdptool /bin/hciconfig \
		/usr/bin/dbus-daemon; do
		[ -x "$t" ] && tools+=("$t")
	done
	[ ${#tools[@]} -eq 7 ] || skip "bluez, bluez-test-tools or dbus-daemon is not installed"
	mkdir -p "$root/usr/libexec/bluetooth" "$root/etc/bluetooth"
	for t in "${tools[@]:1}"; do cp "$t" "$root/bin/"; done
	mv "$root/bin/bluetoothd" "$root/usr/libexec/bluetooth/bluetoothd"
	cp "$here/dbus-vm.conf" "$root/etc/dbus-vm.conf"
	# The host and the remotes' sides share the daemon, which offers no
	# Device ID of its own: an original remote's side offers Nintendo's on
	# its own controller, a clone's none.
	printf '[General]\nDeviceID = false\n[Policy]\nAutoEnable=false\n' >"$root/etc/bluetooth/main.conf"
	echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"
	# hid-generic takes a remote with no Device ID first, as on an
	# operator's machine.
	modules="$modules hid-generic af_alg algif_hash algif_skcipher cmac ecb ecc ecdh_generic rfkill crc16 bluetooth"
	modules="$modules hci_vhci hidp"
fi
for lib in $(for f in "$hitcheck" "$serialpulse" "$vmcheck" "${tools[@]}" ${floor:+"$floor"} ${hitview:+"$hitview"}; do
	ldd "$f" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'
done | sort -u); do
	mkdir -p "$root$(dirname "$lib")"
	cp -L "$lib" "$root$lib"
done
: >"$root/modules.list"
# Debian 13 keeps the modules under usr/, compressed with xz.
for moddir in "$kdir"/lib/modules/* "$kdir"/usr/lib/modules/*; do [ -d "$moddir" ] && break; done
for m in $modules; do
	ko=$(find "$moddir" -name "$m.ko" -o -name "$m.ko.xz" | head -n 1)
	if [ -z "$ko" ]; then
		grep -q "/$m.ko" "$moddir/modules.builtin" || skip "$kpkg lacks the module $m"
		continue
	fi
	case $ko in
	*.xz) xz -dc "$ko" >"$root/modules/$m.ko" ;;
	*) cp "$ko" "$root/modules/$m.ko" ;;
	esac
	echo "$m" >>"$root/modules.list"
done
# That release's bluetoothd runs with its own loader and libraries.
if [ "$stack" != debian12 ] && [ "$mode" = air ]; then
	mkdir -p "$root/debian13/lib"
	find "$bluez13" \( -name '*.so*' -o -name 'ld-linux-x86-64.so.2' \) \( -type f -o -type l \) \
		-exec cp -L -t "$root/debian13/lib/" {} + 2>/dev/null || true
	cp "$bluez13/bluez/usr/libexec/bluetooth/bluetoothd" "$root/debian13/bluetoothd"
	printf '#!/bin/sh\nexec /debian13/lib/ld-linux-x86-64.so.2 --library-path /debian13/lib /debian13/bluetoothd "$@"\n' \
		>"$root/usr/libexec/bluetooth/bluetoothd"
	chmod +x "$root/usr/libexec/bluetooth/bluetoothd"
fi
cp "$here/init.sh" "$root/init"
chmod +x "$root/init"
cp "$here"/*.steps "$root/checks/"
# Over the air, after the original remote alone, an evening of an original
# and a clone.
[ "$mode" != air ] || cat "$here/air.steps" "$here/evening.steps" >"$root/checks/air.steps"
echo "$mode" >"$root/mode"
echo "$cycles" >"$root/cycles"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.cpio.gz"

mkfifo "$work/mon.in" "$work/mon.out"
: >"$work/serial.bin"
console=$work/console.log
"$qemu" -accel tcg -cpu max -m 1024 -smp 1 -nodefaults -display none -no-reboot \
	-serial stdio -monitor pipe:"$work/mon" \
	-kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz" \
	-append "console=ttyS0 panic=-1 quiet" \
	-device qemu-xhci,id=xhci \
	-chardev file,id=ser0,path="$work/serial.bin" \
	-device usb-serial,bus=xhci.0,chardev=ser0,id=serial0 \
	</dev/null >"$console" 2>&1 &
qpid=$!
booted_at=$SECONDS
exec 3<>"$work/mon.out" # drained below, so the monitor never blocks
# A machine gone has no monitor: nobody would read what is written.
monitor() { if kill -0 $qpid 2>/dev/null; then echo "$1" >"$work/mon.in"; fi; }

if [ "$mode" = demo ]; then
	tail -f "$console" --pid=$qpid | sed -u -e '/^vm: /d' -e '/^\[ *[0-9.]*\] /d'
	wait $qpid || true
	qpid=
	# The game's own verdict: every step of it played as expected.
	grep -q '^vm: demo-checks 0' <(tr -d '\r' <"$console") || { echo "demo: the game did not go as expected" >&2; exit 1; }
	exit 0
fi
cat <&3 >/dev/null 2>&1 &

count() { grep -c "$1" "$console" || true; }
# The machine says it is alive every 5 s, with its own clock. One that says
# nothing for 60 s has stopped: the emulator itself was seen to stop so
# once in the serial part, its processor halted with no timer set and its
# monitor silent. It is killed, and said, with its last clock.
seen_alive=$SECONDS alive_lines=0 froze=
running() {
	kill -0 $qpid 2>/dev/null || return 1
	local n
	n=$(count '^vm: alive')
	if [ "$n" -ne "$alive_lines" ]; then
		alive_lines=$n seen_alive=$SECONDS
		return 0
	fi
	[ $((SECONDS - seen_alive)) -lt 60 ] && return 0
	froze="the machine stopped: no sign of life for 60 s, the last $((seen_alive - booted_at)) s after it was started, at $(tr -d '\r' <"$console" | sed -n 's/^vm: alive //p' | tail -n 1) s of its own clock"
	kill -9 $qpid 2>/dev/null
	return 1
}
# Waits up to $2 seconds for the console to hold more than $1 lines matching $3.
wait_more() {
	local end=$((SECONDS + $2))
	while [ "$(count "$3")" -le "$1" ] && [ $SECONDS -lt $end ] && running; do
		sleep 0.1
	done
	[ "$(count "$3")" -gt "$1" ]
}
size() { stat -c %s "$work/serial.bin"; }
last_lines() { tr -d '\r' <"$console" | sed -n 's/^vm: serial-lines //p' | tail -n 1; }

# Follow the console; unplug and replug the adapter while serialpulse runs,
# $cycles times. For each outage: the byte count while unplugged, twice, and
# the lines printed by then.
# The machine is stopped short of CTest's time limit (1500 s for the checks,
# 600 s over the air), so that what it did is still told.
case $mode in
checks) deadline=1440 ;;
air) deadline=540 ;;
*) deadline=600 ;;
esac
outages=()
if [ "$mode" = checks ]; then
	while ! grep -q '^vm: serial-start' "$console" && running && [ $SECONDS -lt $deadline ]; do
		sleep 0.5
	done
	grep -q '^vm: serial-start' "$console" &&
		echo "vm: serialpulse's part began $((SECONDS - booted_at)) s after the machine was started"
	for c in $(seq "$cycles"); do
		[ $SECONDS -lt $deadline ] && running || break
		outage_at=$SECONDS
		before=$(size)
		for _ in $(seq 100); do [ "$(size)" -gt $((before + 100)) ] && break; sleep 0.1; done
		errors=$(count '^vm: serial-stderr')
		monitor "device_del serial0"
		# A pulse may be held in the kernel for a while as the adapter goes.
		wait_more "$errors" 30 '^vm: serial-stderr' || true
		sleep 1
		first=$(size)
		wait_more "$(count '^vm: serial-lines')" 10 '^vm: serial-lines' || true
		lines_then=$(last_lines)
		sleep 1
		outages+=("$first $(size) ${lines_then:-0}")
		monitor "device_add usb-serial,bus=xhci.0,chardev=ser0,id=serial0"
		for _ in $(seq 100); do [ "$(size)" -gt "$first" ] && break; sleep 0.1; done
		echo "vm: outage $c took $((SECONDS - outage_at)) s"
	done
fi
while running && [ $SECONDS -lt $deadline ]; do
	sleep 0.5
done
kill $qpid 2>/dev/null || true
wait $qpid 2>/dev/null || true
qpid=
if [ -n "$froze" ]; then
	echo "vm: $froze"
	# Once, the emulator's fault: the machine is started again from the
	# beginning, and the run judged by that.
	if [ -z "${HITCHECK_VM_STOPPED:-}" ]; then
		echo "vm: starting the machine again"
		cleanup
		trap - EXIT
		HITCHECK_VM_STOPPED=1 exec bash "$0" "$@"
	fi
	exit 1
fi

if [ "$mode" = bench ] || [ "$mode" = idle ]; then
	tr -d '\r' <"$console" | grep -E "^vm: $mode"
	exit 0
fi
echo "vm: the machine ran $((SECONDS - booted_at)) s"
if [ "$mode" = air ]; then
	tr -d '\r' <"$console" | grep -E '^(ok|not ok|figure:|vmcheck:|vm:)' | grep -v '^vm: alive'
	grep -q '^vm: air-checks 0' <(tr -d '\r' <"$console") && exit 0
	echo "--- console"
	tr -d '\r' <"$console" | grep -v '^vm: bluetoothd' | tail -n 60
	exit 1
fi

tr -d '\r' <"$console" | grep -E '^(ok|not ok|figure:|vmcheck:|vm:)' | grep -v -e '^vm: serial-lines' -e '^vm: alive' || true
passed=0 failed=0
check() { # check DESCRIPTION CONDITION...
	local what=$1
	shift
	if "$@"; then
		echo "ok - $what"
		passed=$((passed + 1))
	else
		echo "not ok - $what"
		failed=$((failed + 1))
	fi
}
log=$(tr -d '\r' <"$console")
field() { echo "$log" | sed -n "s/^vm: $1 //p" | head -n 1; }

check "the machine booted and powered off" grep -q '^vm: done' <<<"$log"
check "hitcheck's checks passed" grep -q '^vm: hitcheck-checks 0' <<<"$log"
[ -z "$hitview" ] || check "hitview's checks passed" grep -q '^vm: hitview-checks 0' <<<"$log"

bytes=$(size)
ones=$(tr -cd 1 <"$work/serial.bin" | wc -c)
lines=$(field serial-total)
lines=${lines:-0}
echo "serial: $bytes bytes reached the host, serialpulse printed $lines lines"
echo "serial: line settings set before the outages: $(field serial-settings-before); after them: $(field serial-settings)"
check "every byte on the line is \"1\"" [ "$bytes" -eq "$ones" ]
check "serialpulse sent pulses" [ "$lines" -gt 100 ]
check "standard output holds only \"inviato...\" lines" [ "$(field serial-other-lines)" = 0 ]
# Each line stands for a byte that arrived. A byte may arrive without its
# line: the one in flight as the adapter went, and the one when serialpulse
# was killed.
check "bytes and lines agree ($bytes bytes, $lines lines)" [ "$bytes" -ge "$lines" -a "$bytes" -le $((lines + cycles + 1)) ]
check "$cycles outages" [ "${#outages[@]}" -eq "$cycles" ]
for i in "${!outages[@]}"; do
	read -r first second lines_then <<<"${outages[$i]}"
	check "outage $((i + 1)): nothing written while unplugged ($first, then $second bytes)" [ "$first" = "$second" ]
	check "outage $((i + 1)): every line printed stands for a byte that arrived ($second bytes, $lines_then lines)" \
		[ "$second" -ge "$lines_then" ]
done
errors=$(echo "$log" | grep -c '^vm: serial-stderr' || true)
check "the unplugged adapter was reported" \
	grep -q '^vm: serial-stderr impossibile aprire /dev/ttyUSB0: No such file or directory$' <<<"$log"
check "no more than one error line per change of reason ($errors for $cycles outages)" [ "$errors" -le $((3 * cycles)) ]
check "pulses resumed after the last outage" [ "$bytes" -gt "$second" ]

if [ "$failed" -ne 0 ]; then
	echo "--- console"
	echo "$log" | tail -n 80
fi
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
