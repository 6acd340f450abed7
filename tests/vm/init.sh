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
	serialpulse >/tmp/sp.out 2>/tmp/sp.err &
	pid=$!
	echo "vm: serial-start"
	# The host unplugs the adapter and plugs it back meanwhile.
	sleep 12
	kill -9 $pid
	echo "vm: serial-lines $(grep -c '^inviato\.\.\.$' /tmp/sp.out)"
	echo "vm: serial-other-lines $(grep -vc '^inviato\.\.\.$' /tmp/sp.out)"
	sed 's/^/vm: serial-stderr /' /tmp/sp.err
fi
echo "vm: done"
poweroff -f
