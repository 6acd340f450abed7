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
echo "vm: booted"

if [ "$(cat /mode)" = demo ]; then
	vmcheck /bin/hitcheck /checks/demo.steps --show
	echo
else
	vmcheck /bin/hitcheck /checks/hitcheck.steps
	echo "vm: hitcheck-checks $?"

	i=0
	while [ ! -c /dev/ttyUSB0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
	# Its errors reach the host as they come, so it knows when the
	# outage has been seen.
	mkfifo /tmp/err
	while read -r line; do
		echo "vm: serial-stderr $line"
		echo "$line" >>/tmp/sp.err
	done </tmp/err &
	serialpulse >/tmp/sp.out 2>/tmp/err &
	pid=$!
	echo "vm: serial-start"
	# The host unplugs the adapter, waits for the error, plugs it back.
	i=0
	while [ ! -s /tmp/sp.err ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
	i=0
	while [ ! -c /dev/ttyUSB0 ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
	sleep 3
	kill -9 $pid
	wait
	echo "vm: serial-lines $(grep -c '^inviato\.\.\.$' /tmp/sp.out)"
	echo "vm: serial-other-lines $(grep -vc '^inviato\.\.\.$' /tmp/sp.out)"
fi
echo "vm: done"
poweroff -f
