#!/bin/busybox sh
# The virtual machine's first process: loads the drivers, runs the checks (or
# the demonstration), and powers off. Lines that start with "vm:" are read by
# the host.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /tmp
for m in $(cat /modules.list); do
	insmod "/modules/$m.ko" || echo "vm: insmod $m failed"
done
# udev, as on an operator's machine.
mkdir -p /run
/lib/systemd/systemd-udevd --daemon >/tmp/udevd.log 2>&1
i=0
while [ ! -e /run/udev/control ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -e /run/udev/control ] || echo "vm: udevd did not start: $(cat /tmp/udevd.log)"
echo "vm: booted, kernel $(uname -r)"
# Its sign of life for the host, with its own clock.
# The demonstration is watched by a person, who sees it is alive: there its
# lines would break into the game's.
[ "$(cat /mode)" = demo ] || (while :; do echo "vm: alive $(cut -d' ' -f1 /proc/uptime)"; sleep 5; done) &

wait_adapter() { # present|absent, for up to 60 s
	i=0
	while [ $i -lt 600 ]; do
		if [ -c /dev/ttyUSB0 ]; then [ "$1" = present ] && return 0; else [ "$1" = absent ] && return 0; fi
		sleep 0.1
		i=$((i + 1))
	done
	return 1
}

case "$(cat /mode)" in
air)
	# The system bus, and five emulated controllers that reach each other
	# over the air: hci0 the host's, the others remotes' (hci4 a spare).
	mkdir -p /run/dbus /var/lib/bluetooth /etc/bluetooth
	ln -s /run /var/run
	dbus-daemon --config-file=/etc/dbus-vm.conf --fork
	echo "vm: bluetoothd $(/usr/libexec/bluetooth/bluetoothd --version)"
	btvirt -l5 >/tmp/btvirt.log 2>&1 &
	i=0
	while [ ! -e /sys/class/bluetooth/hci4 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
	if vmcheck /bin/hitcheck /checks/air.steps; then
		echo "vm: air-checks 0"
	else
		echo "vm: air-checks 1"
		grep -v -e src/shared/mgmt.c /tmp/bluetoothd.log | sed "s/^/vm: bluetoothd /"
		dmesg | tail -n 30 | sed 's/^/vm: dmesg /'
	fi
	;;
idle)
	# A first run, not counted, while udev finishes what the boot left it;
	# then two rounds, each build first in turn.
	vmcheck /bin/hitcheck /checks/idle.steps >/dev/null
	for order in "hitcheck hitcheck-before" "hitcheck-before hitcheck"; do
		for p in $order; do
			vmcheck /bin/$p /checks/idle.steps | sed -n "s/^figure: /vm: idle $p /p"
		done
	done
	;;
demo)
	vmcheck /bin/hitcheck /checks/demo.steps --show
	status=$?
	echo
	echo "vm: demo-checks $status"
	;;
bench)
	wait_adapter present
	echo "vm: bench-seconds 3"
	# Five rounds, each program first in turn.
	for order in "serialpulse floor" "floor serialpulse" "serialpulse floor" "floor serialpulse" \
		"serialpulse floor"; do
		for p in $order; do
			timeout -s KILL 3 $p >/tmp/b.out 2>/dev/null
			echo "vm: bench $p $(wc -l </tmp/b.out)"
		done
	done
	;;
*)
	vmcheck /bin/hitcheck /checks/hitcheck.steps
	echo "vm: hitcheck-checks $?"
	if [ -x /bin/hitview ]; then
		vmcheck /bin/hitcheck /checks/hitview.steps
		echo "vm: hitview-checks $?"
	fi

	wait_adapter present
	# A board that asks for modem control (no CLOCAL), and a line that
	# keeps DTR up (no HUPCL). Both are looked at again after the replugs,
	# which give the kernel a new adapter at the same ttyUSB0.
	stty -F /dev/ttyUSB0 -clocal -hupcl
	echo "vm: serial-settings-before $(stty -F /dev/ttyUSB0 -a 2>&1 | tr ' ' '\n' | grep -x -e '-*clocal' -e '-*hupcl' | tr '\n' ' ')"
	# Its errors reach the host as they come, so it knows when an outage
	# has been seen; so does the count of lines printed.
	mkfifo /tmp/err
	while read -r line; do
		echo "vm: serial-stderr $line"
	done </tmp/err &
	serialpulse >/tmp/sp.out 2>/tmp/err &
	pid=$!
	(while :; do echo "vm: serial-lines $(wc -l </tmp/sp.out)"; sleep 0.25; done) &
	counter=$!
	echo "vm: serial-start"
	# The host unplugs the adapter and plugs it back, again and again.
	for c in $(seq "$(cat /cycles)"); do
		wait_adapter absent
		wait_adapter present
	done
	sleep 3
	kill -9 $pid $counter
	wait $pid $counter
	echo "vm: serial-settings $(stty -F /dev/ttyUSB0 -a | tr ' ' '\n' | grep -x -e '-*clocal' -e '-*hupcl' | tr '\n' ' ')"
	echo "vm: serial-total $(grep -c '^inviato\.\.\.$' /tmp/sp.out)"
	echo "vm: serial-other-lines $(grep -vc '^inviato\.\.\.$' /tmp/sp.out)"
	;;
esac
echo "vm: done"
poweroff -f
