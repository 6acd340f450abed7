#!/usr/bin/python3
"""The search's conversation with BlueZ, against python3-dbusmock's bluez5
template on a private system bus: the branches a real adapter cannot be
made to take. A remote that BlueZ connects shows up in a made-up sysfs tree,
where the kernel's driver would have bound it.

Usage: bluez_search_test.py BLUEZ_FIND
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

try:
    import dbus
    import dbusmock
except ImportError as e:
    print(f'SKIP: {e} (Debian: python3-dbusmock)')
    sys.exit(77)

FIND = sys.argv.pop(1)
MOCK = 'org.freedesktop.DBus.Mock'
REMOTE = '00:19:1D:00:00:01'
NINTENDO = 'bluetooth:v057Ep0306d0600'  # the Device ID a remote pairs with
HINT = ('il wiimote Nintendo RVL-CNT-01 non si lascia collegare (org.bluez.Error.Failed): '
        'premi il tasto rosso SYNC sotto il coperchio delle batterie durante la ricerca\n')

RULE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'udev', '70-hitcheck-wiimote.rules')
RULE_HINT = ('il wiimote Nintendo RVL-CNT-01 (00:19:1D:00:00:02) non ha Device ID: il driver hid-wiimote lo '
             'prende solo con la regola udev di hitcheck; da root, nella cartella dei sorgenti: install -m 644 '
             'udev/70-hitcheck-wiimote.rules /etc/udev/rules.d/ && udevadm control --reload\n')
HID = "self.Set('org.bluez.Device1', 'UUIDs', ['00001124-0000-1000-8000-00805f9b34fb'])"
# The template's own pairing announces a phone's class and Device ID: a
# remote's keeps its own, and gains HID and its pairing.
REMOTE_PAIR = HID + "; self.Set('org.bluez.Device1', 'Paired', True)"

GONE = ('bluetoothd non risponde più durante la ricerca (bluetoothd si è chiuso): la ricerca riprende quando '
        'torna; se non torna, da root: systemctl restart bluetooth\n')

# A search that found nothing and said nothing of why: what to check first.
NOTHING = ('nessun wiimote trovato: premi il tasto rosso SYNC sotto il coperchio delle batterie nei primi secondi '
           'della ricerca (i LED lampeggiano finché si associa); se non lampeggiano, cambia le batterie\n')

REFUSE = "raise dbus.exceptions.DBusException('{}', name='org.bluez.Error.{}')"


class BluezSearch(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.bus = cls.get_dbus(system_bus=True)

    def setUp(self):
        self.root = tempfile.mkdtemp()
        os.makedirs(self.root + '/sys/bus/hid/drivers/wiimote')
        os.makedirs(self.root + '/sys/class/bluetooth/hci0')
        self.server, self.bluez = self.spawn_server_template('bluez5', {}, stdout=subprocess.DEVNULL)
        self.mock = dbus.Interface(self.bluez, 'org.bluez.Mock')
        self.adapter = self.bus.get_object('org.bluez', self.mock.AddAdapter('hci0', 'host'))

    def tearDown(self):
        self.server.terminate()
        self.server.wait()
        shutil.rmtree(self.root)

    def device(self, address, name, pair=None, connect=None, modalias=None):
        dev = self.bus.get_object('org.bluez', self.mock.AddDevice('hci0', address, name))
        if modalias is None:
            modalias = NINTENDO if name.startswith('Nintendo') else ''
        dev.Set('org.bluez.Device1', 'Modalias', modalias, dbus_interface=dbus.PROPERTIES_IFACE)
        if name.startswith('Nintendo'):  # made as a remote: a peripheral joystick, paired as one
            dev.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
            pair = REMOTE_PAIR if pair is None else pair
        for method, code in (('Pair', pair), ('Connect', connect)):
            if code:
                dev.AddMethod('org.bluez.Device1', method, '', '', code, dbus_interface=MOCK)
        return dev

    def bind_after(self, dev, connects=1):
        """What the kernel's driver does once BlueZ has connected the remote,
        which then answers as one."""
        end = time.monotonic() + 10
        while self.calls(dev).count('Connect') < connects and time.monotonic() < end:
            time.sleep(0.05)
        self.bind(dev.Get('org.bluez.Device1', 'Address', dbus_interface=dbus.PROPERTIES_IFACE), answers=True)

    def bind(self, address='', answers=False):
        """The driver's remote; with `answers`, a raw node on which it answers
        every status request."""
        d = self.root + '/sys/bus/hid/drivers/wiimote/0005:057E:0306.0001'
        os.makedirs(d + '/input/input3/event3')
        with open(d + '/devtype', 'w') as f:
            f.write('gen20\n')
        with open(d + '/input/input3/name', 'w') as f:
            f.write('Nintendo Wii Remote\n')
        with open(d + '/uevent', 'w') as f:
            f.write(f'HID_NAME=Nintendo RVL-CNT-01\nHID_UNIQ={address.lower()}\n')
        os.makedirs(self.root + '/dev/input', exist_ok=True)
        open(self.root + '/dev/input/event3', 'w').close()
        if answers:
            remote, node = os.openpty()
            tty.setraw(node)
            os.makedirs(d + '/hidraw/hidraw0')
            if os.path.lexists(self.root + '/dev/hidraw0'):
                os.unlink(self.root + '/dev/hidraw0')
            os.symlink(os.ttyname(node), self.root + '/dev/hidraw0')

            def answer():
                try:
                    while os.read(remote, 64):
                        os.write(remote, bytes([0x20, 0, 0, 0, 0, 0, 0xC0]))
                except OSError:
                    pass
            threading.Thread(target=answer, daemon=True).start()
            self.addCleanup(os.close, node)
            self.addCleanup(os.close, remote)

    def removed(self, count):
        """The devices unpaired, once `count` have been (the last is asked
        for as the search ends)."""
        end = time.monotonic() + 2
        while True:
            removed = [c[2] for c in self.adapter.GetCalls(dbus_interface=MOCK) if c[1] == 'RemoveDevice']
            if len(removed) >= count or time.monotonic() > end:
                return removed
            time.sleep(0.05)

    def find(self, seconds, during=None):
        """Runs one search; `during` runs from half a second into it."""
        start = time.monotonic()
        p = subprocess.Popen([FIND, self.root, str(seconds)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ, XDG_STATE_HOME=self.root))
        if during:
            time.sleep(0.5)
            during()
        out, err = p.communicate(timeout=60)
        return out, err, time.monotonic() - start

    @staticmethod
    def trusted(dev):
        return dev.Get('org.bluez.Device1', 'Trusted', dbus_interface=dbus.PROPERTIES_IFACE)

    @staticmethod
    def calls(obj):
        return [c[1] for c in obj.GetCalls(dbus_interface=MOCK)]

    def test_a_remote_woken_by_sync_is_paired_trusted_and_connected_and_nothing_else_is_touched(self):
        headset = self.device('00:11:22:33:44:55', 'Headset')
        remotes = []

        def sync_pressed():
            remotes.append(self.device(REMOTE, 'Nintendo RVL-CNT-01'))
            self.bind_after(remotes[0])
        out, err, took = self.find(10, sync_pressed)
        self.assertEqual((out, err), ('1\n', ''))
        self.assertLess(took, 5)
        self.assertEqual(self.calls(remotes[0]), ['Pair', 'Connect'])
        self.assertTrue(self.trusted(remotes[0]))
        self.assertEqual(self.calls(headset), [])
        self.assertEqual(self.calls(self.adapter), ['SetDiscoveryFilter', 'StartDiscovery', 'StopDiscovery'])

    def test_a_remote_whose_pairing_fails_is_connected_alone_where_bluez_allows_it(self):
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01',
                             pair=REFUSE.format('Authentication Failed', 'AuthenticationFailed'))
        self.assertEqual(self.find(10, lambda: self.bind_after(remote))[:2], ('1\n', ''))
        self.assertEqual(self.calls(remote), ['Pair', 'Connect'])
        self.assertFalse(self.trusted(remote))

    def test_a_remote_that_can_neither_pair_nor_connect_gets_the_sync_hint_once(self):
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01',
                             pair=REFUSE.format('Authentication Failed', 'AuthenticationFailed'),
                             connect=REFUSE.format('br-connection-profile-unavailable', 'Failed'))
        out, err, took = self.find(2)
        self.assertEqual((out, err), ('0\n', HINT))
        self.assertGreaterEqual(took, 1.9)
        self.assertEqual(self.calls(remote), ['Pair', 'Connect'])
        self.assertEqual(self.calls(self.adapter)[-1], 'StopDiscovery')

    def test_a_remote_that_failed_is_tried_again_so_sync_pressed_after_the_hint_works(self):
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01',
                             pair=REFUSE.format('Authentication Failed', 'AuthenticationFailed'),
                             connect=REFUSE.format('br-connection-profile-unavailable', 'Failed'))

        def press_sync():
            for method in ('Pair', 'Connect'):
                remote.AddMethod('org.bluez.Device1', method, '', '', '', dbus_interface=MOCK)
            self.bind_after(remote, connects=2)
        self.assertEqual(self.find(10, press_sync)[:2], ('1\n', HINT))
        self.assertEqual(self.calls(remote), ['Pair', 'Connect', 'Pair', 'Connect'])

    def test_only_a_device_id_the_driver_binds_is_trusted_and_connected_whatever_the_name(self):
        # RemoveDevice is recorded, and the device left in place to be asked.
        self.adapter.AddMethod('org.bluez.Adapter1', 'RemoveDevice', 'o', '', '', dbus_interface=MOCK)
        impostor = self.device(REMOTE, 'Nintendo RVL-CNT-01', modalias='',
                               pair="self.Set('org.bluez.Device1', 'Modalias', 'usb:v046DpC52Bd1200')")
        self.assertEqual(self.find(2)[:2], ('0\n', NOTHING))
        self.assertEqual(self.calls(impostor), ['Pair'])
        self.assertFalse(self.trusted(impostor))
        self.assertEqual(self.removed(1), [[impostor.object_path]])
        # Taken by its class, it pairs under an unusual name as Nintendo's.
        pad = self.device('00:19:1D:00:00:02', '', modalias=NINTENDO, pair="self.Set('org.bluez.Device1', 'Name', 'Wireless Gamepad')")
        pad.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(self.find(10, lambda: self.bind_after(pad))[:2], ('1\n', ''))
        self.assertEqual(self.calls(pad), ['Pair', 'Connect'])
        self.assertTrue(self.trusted(pad))

    def test_a_device_made_as_a_remote_under_another_name_is_left_alone_and_said_once(self):
        other = self.device('00:19:1D:00:00:03', 'Nintendo RVL-CNT-01-UC', modalias='')
        other.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(self.find(2)[:2], ('0\n', 'il dispositivo "Nintendo RVL-CNT-01-UC" (00:19:1D:00:00:03) sembra '
                         'un wiimote ma non ne ha il nome: il driver hid-wiimote prende solo "Nintendo RVL-CNT-01" e '
                         '"Nintendo RVL-CNT-01-TR", lasciato stare\n'))
        self.assertEqual(self.calls(other), [])
        # A name that would clear the screen, retitle the terminal and print
        # a forged line of the program's is shown, never obeyed.
        hostile = self.device('00:19:1D:00:00:04', 'Pad\x1b[2J\x1b]0;owned\x07\nConnesso a 1 wiimote_player di 1 '
                              'trovati.\u202e', modalias='')
        hostile.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
        err = self.find(2)[1]
        self.assertIn('"Pad\\x1b[2J\\x1b]0;owned\\x07\\x0aConnesso a 1 wiimote_player di 1 trovati.\\xe2\\x80\\xae" '
                      '(00:19:1D:00:00:04) sembra un wiimote', err)
        self.assertNotRegex(err, '[\x00-\x09\x0b-\x1f\x7f\u202e]')
        self.assertEqual(err.count('\n'), 2)

    def test_with_no_device_id_only_a_remote_made_as_one_is_trusted_and_only_where_udev_binds_it(self):
        self.adapter.AddMethod('org.bluez.Adapter1', 'RemoveDevice', 'o', '', '', dbus_interface=MOCK)

        def no_id(address, device_class):
            dev = self.device(address, 'Nintendo RVL-CNT-01', modalias='', pair=HID)
            dev.Set('org.bluez.Device1', 'Class', dbus.UInt32(device_class), dbus_interface=dbus.PROPERTIES_IFACE)
            return dev
        clone = no_id('00:19:1D:00:00:02', 0x002504)
        # Without the project's rule the driver would never take it: the
        # operator is told the root step, once, and it is unpaired.
        self.assertEqual(self.find(2)[:2], ('0\n', RULE_HINT))
        self.assertFalse(self.trusted(clone))
        clone.Set('org.bluez.Device1', 'Paired', False, dbus_interface=dbus.PROPERTIES_IFACE)
        # With it, the clone is connected, and trusted once the driver has
        # bound it and it has answered as a remote; a keyboard of the same
        # name, its class a keyboard's, is unpaired, never connected.
        os.makedirs(self.root + '/etc/udev/rules.d')
        shutil.copy(RULE, self.root + '/etc/udev/rules.d/')
        keyboard = no_id('00:11:22:33:44:66', 0x002540)

        def driver_binds():
            end = time.monotonic() + 10
            while 'Connect' not in self.calls(clone) and time.monotonic() < end:
                time.sleep(0.05)
            self.assertFalse(self.trusted(clone), 'trusted before it answered')
            self.bind('00:19:1D:00:00:02', answers=True)
        self.assertEqual(self.find(10, driver_binds)[:2], ('1\n', ''))
        self.assertEqual(self.calls(clone), ['Pair', 'Pair', 'Connect'])
        self.assertTrue(self.trusted(clone))
        self.assertEqual(self.calls(keyboard), ['Pair'])
        self.assertFalse(self.trusted(keyboard))
        self.assertEqual(self.removed(2), [[clone.object_path], [keyboard.object_path]])

        # Trusted, it presents itself at the next search as a keyboard: its
        # trust and its pairing go, said. Devices trusted by hand stay, what
        # they are: a keyboard, one under a remote's name, a look-alike that
        # another driver holds.
        clone.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002540), dbus_interface=dbus.PROPERTIES_IFACE)
        own = self.device('00:11:22:33:44:77', 'Keyboard K120', modalias='')
        held = no_id('00:19:1D:00:00:09', 0x002504)
        held.Set('org.bluez.Device1', 'UUIDs', ['00001124-0000-1000-8000-00805f9b34fb'],
                 dbus_interface=dbus.PROPERTIES_IFACE)
        hid = self.root + '/sys/bus/hid/devices/0005:0000:0000.0009'
        os.makedirs(hid)
        os.makedirs(self.root + '/sys/bus/hid/drivers/hid-multitouch')
        with open(hid + '/uevent', 'w') as f:
            f.write('DRIVER=wiimote\nHID_NAME=Nintendo RVL-CNT-01\nHID_UNIQ=00:19:1d:00:00:09\n')
        os.symlink('../../drivers/hid-multitouch', hid + '/driver')
        for dev in (clone, keyboard, own, held):
            for prop in ('Paired', 'Trusted'):
                dev.Set('org.bluez.Device1', prop, True, dbus_interface=dbus.PROPERTIES_IFACE)
        shutil.rmtree(self.root + '/sys/bus/hid/drivers/wiimote/0005:057E:0306.0001')
        out, err, _ = self.find(1)
        self.assertEqual(err, 'il dispositivo Nintendo RVL-CNT-01 (00:19:1D:00:00:02) non si presenta più come un '
                              "wiimote: tolti la fiducia e l'associazione\n")
        self.assertFalse(self.trusted(clone))
        self.assertEqual([self.trusted(d) for d in (keyboard, own, held)], [True, True, True])
        self.assertEqual(self.calls(own), [])
        with open(self.root + '/hitcheck/trusted') as f:
            self.assertEqual(f.read(), '')

    def test_trust_follows_what_a_device_is_now_not_what_it_once_said(self):
        # Trusted as a remote by its Device ID, it presents a keyboard's name,
        # class and Device ID at the next search: its trust and pairing go.
        self.adapter.AddMethod('org.bluez.Adapter1', 'RemoveDevice', 'o', '', '', dbus_interface=MOCK)
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01', pair=HID)
        self.assertEqual(self.find(10, lambda: self.bind_after(remote))[:2], ('1\n', ''))
        self.assertTrue(self.trusted(remote))
        shutil.rmtree(self.root + '/sys/bus/hid/drivers/wiimote/0005:057E:0306.0001')
        for prop, value in (('Name', 'Keyboard K120'), ('Class', dbus.UInt32(0x002540)),
                            ('Modalias', 'usb:v046DpC52Bd1200'), ('Paired', True), ('Connected', False)):
            remote.Set('org.bluez.Device1', prop, value, dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual(self.find(1)[1], 'il dispositivo Keyboard K120 (00:19:1D:00:00:01) non si presenta più come '
                                          "un wiimote: tolti la fiducia e l'associazione\n")
        self.assertFalse(self.trusted(remote))
        self.assertEqual(self.removed(1), [[remote.object_path]])

        # A Device ID that turns into a keyboard's while it connects: let go,
        # never trusted.
        turning = self.device('00:19:1D:00:00:05', 'Nintendo RVL-CNT-01', connect=(
            "import time; time.sleep(0.5); self.Set('org.bluez.Device1', 'Modalias', 'usb:v046DpC52Bd1200')"))
        self.assertEqual(self.find(3)[:2], ('0\n', NOTHING))
        self.assertEqual(self.calls(turning), ['Pair', 'Connect', 'Disconnect'])
        self.assertFalse(self.trusted(turning))

        # Removed and added again at its path as a paired keyboard with no
        # Device ID: judged from nothing, never connected.
        old = self.device('00:19:1D:00:00:06', 'Nintendo RVL-CNT-01')
        for prop in ('Paired', 'Connected'):
            old.Set('org.bluez.Device1', prop, True, dbus_interface=dbus.PROPERTIES_IFACE)

        def added_again():
            path = old.object_path
            self.bluez.RemoveObject(path, dbus_interface=MOCK)
            self.bluez.EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesRemoved', 'oas',
                                  [dbus.ObjectPath(path), ['org.bluez.Device1']], dbus_interface=MOCK)
            props = dbus.Dictionary({
                'Address': '00:19:1D:00:00:06', 'Name': 'Keyboard K120', 'Class': dbus.UInt32(0x002540),
                'Paired': True, 'Connected': False, 'Trusted': False, 'RSSI': dbus.Int16(-50),
                'UUIDs': dbus.Array(['00001124-0000-1000-8000-00805f9b34fb'], signature='s'),
                'Adapter': dbus.ObjectPath('/org/bluez/hci0')}, signature='sv')
            self.bluez.AddObject(path, 'org.bluez.Device1', props, [('Connect', '', '', ''), ('Pair', '', '', '')],
                                 dbus_interface=MOCK)
            self.bluez.EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesAdded', 'oa{sa{sv}}',
                                  [dbus.ObjectPath(path), dbus.Dictionary({'org.bluez.Device1': props},
                                                                          signature='sa{sv}')], dbus_interface=MOCK)
        self.assertEqual(self.find(2, added_again)[:2], ('0\n', NOTHING))
        again = self.bus.get_object('org.bluez', old.object_path)
        self.assertEqual(self.calls(again), [])
        self.assertFalse(self.trusted(again))

    def test_nothing_is_connected_before_its_device_id_says_it_is_a_remote(self):
        # Paired, its Device ID is not known: it is unpaired, never connected
        # to have its services read, and its next pairing reads them.
        self.adapter.AddMethod('org.bluez.Adapter1', 'RemoveDevice', 'o', '', '', dbus_interface=MOCK)
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01', modalias='', pair='pass')

        def services_read_at_the_second_pairing():
            end = time.monotonic() + 10
            while not self.removed(1) and time.monotonic() < end:
                time.sleep(0.05)
            remote.AddMethod('org.bluez.Device1', 'Pair', '', '',
                             f"self.Set('org.bluez.Device1', 'Modalias', '{NINTENDO}')", dbus_interface=MOCK)
            self.bind_after(remote)
        self.assertEqual(self.find(10, services_read_at_the_second_pairing)[:2], ('1\n', ''))
        self.assertEqual(self.calls(remote), ['Pair', 'Pair', 'Connect'])
        self.assertTrue(self.trusted(remote))
        # Paired before the search: a keyboard's Device ID under a remote's
        # name, or no name and a remote's class, is left alone; a remote's
        # Device ID is trusted and connected.
        self.adapter.ClearCalls(dbus_interface=MOCK)
        remote.Set('org.bluez.Device1', 'Paired', True, dbus_interface=dbus.PROPERTIES_IFACE)
        remote.Set('org.bluez.Device1', 'Connected', False, dbus_interface=dbus.PROPERTIES_IFACE)
        remote.Set('org.bluez.Device1', 'Trusted', False, dbus_interface=dbus.PROPERTIES_IFACE)
        remote.ClearCalls(dbus_interface=MOCK)
        keyboard = self.device('00:11:22:33:44:55', 'Nintendo RVL-CNT-01', modalias='usb:v046DpC52Bd1200')
        nameless = self.device('00:11:22:33:44:56', '', modalias='')
        nameless.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
        for dev in (keyboard, nameless):
            dev.Set('org.bluez.Device1', 'Paired', True, dbus_interface=dbus.PROPERTIES_IFACE)
        shutil.rmtree(self.root + '/sys/bus/hid/drivers/wiimote/0005:057E:0306.0001')
        self.assertEqual(self.find(10, lambda: self.bind_after(remote))[:2], ('1\n', ''))
        self.assertEqual(self.calls(remote), ['Connect'])
        self.assertTrue(self.trusted(remote))
        self.assertEqual((self.calls(keyboard), self.calls(nameless)), ([], []))
        self.assertEqual(self.removed(0), [])

    def test_a_pairing_under_way_holds_up_nothing(self):
        # bluetoothd takes 4 s to pair one remote; another is bound meanwhile.
        self.device(REMOTE, 'Nintendo RVL-CNT-01', pair='import time; time.sleep(4)')
        out, err, took = self.find(10, self.bind)
        self.assertEqual(out, '1\n')
        self.assertLess(took, 3)

    def test_a_remote_whose_pairing_ends_after_the_deadline_belongs_to_the_search_that_began_it(self):
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01', pair='import time; time.sleep(2)')
        out, err, took = self.find(1, lambda: self.bind_after(remote))
        self.assertEqual((out, err), ('1\n', ''))
        self.assertGreater(took, 2)

    def test_a_search_waits_for_what_it_began_and_never_spins(self):
        # Connected, never bound by a driver: the search waits its time out,
        # and the bound after it, without spending it on a core.
        remote = self.device(REMOTE, 'Nintendo RVL-CNT-01')
        before = os.times()
        out, err, took = self.find(2)
        after = os.times()
        cpu = after.children_user + after.children_system - before.children_user - before.children_system
        self.assertEqual((out, err), ('0\n', NOTHING))
        self.assertEqual(self.calls(remote), ['Pair', 'Connect'])
        self.assertLess(cpu, 0.5 * took, f'{cpu:.2f} s of CPU in {took:.2f} s')
        print(f'figure: a search whose remote never binds: {cpu:.2f} s of CPU in {took:.2f} s', file=sys.stderr)

    def test_a_remote_connected_that_the_driver_never_binds_frees_its_room_for_the_next(self):
        never = self.device('00:19:1D:00:00:09', 'Nintendo RVL-CNT-01')
        remotes = []

        def pressed_late():
            time.sleep(5.5)
            remotes.append(self.device(REMOTE, 'Nintendo RVL-CNT-01'))
            self.bind_after(remotes[0])
        self.assertEqual(self.find(10, pressed_late)[:2], ('1\n', ''))
        self.assertEqual(self.calls(never), ['Pair', 'Connect'])
        self.assertEqual(self.calls(remotes[0]), ['Pair', 'Connect'])

    def test_look_alikes_that_stall_at_every_call_do_not_keep_a_remote_from_its_turn(self):
        # Each answers its pairing 2.4 s late, and never with its services:
        # each turn would last 5.4 s. The remote's SYNC is pressed 2 s
        # before the deadline.
        self.adapter.AddMethod('org.bluez.Adapter1', 'RemoveDevice', 'o', '', '', dbus_interface=MOCK)
        stalls = []
        for address in ('00:19:1D:00:00:02', '00:19:1D:00:00:03'):
            dev = self.device(address, 'Nintendo RVL-CNT-01', modalias='', pair='import time; time.sleep(2.4)')
            dev.Set('org.bluez.Device1', 'Class', dbus.UInt32(0x002504), dbus_interface=dbus.PROPERTIES_IFACE)
            stalls.append(dev)
        remotes = []

        def sync_pressed():
            time.sleep(7.5)
            remotes.append(self.device('00:19:1D:00:00:09', 'Nintendo RVL-CNT-01'))
            self.bind_after(remotes[0])
        self.assertEqual(self.find(10, sync_pressed)[:2], ('1\n', ''))
        self.assertEqual([self.calls(d)[:1] for d in stalls], [['Pair'], ['Pair']])
        self.assertEqual(self.calls(remotes[0]), ['Pair', 'Connect'])

    def test_a_search_ends_within_its_bound_whatever_bluetoothd_still_does(self):
        # A pairing bluetoothd does not answer is given up 10 s past the
        # deadline; a search lasts 16 s past it at most. (The pairing given
        # up on is cancelled; the mock, stalled, drops calls from a client
        # gone by the time it reads them.)
        self.device(REMOTE, 'Nintendo RVL-CNT-01', pair='import time; time.sleep(15)')
        out, err, took = self.find(1)
        self.assertEqual(out, '0\n')
        self.assertLess(took, 1 + 16 + 1)

    def test_a_bluetoothd_that_does_not_answer_holds_the_search_no_longer_than_its_time(self):
        self.adapter.AddMethod('org.bluez.Adapter1', 'StartDiscovery', '', '', 'import time; time.sleep(15)',
                               dbus_interface=MOCK)
        out, err, took = self.find(2)
        self.assertEqual(out, '0\n')
        self.assertLess(took, 4)
        self.assertRegex(err, r'^Bluetooth non disponibile per la ricerca: impossibile avviare la ricerca '
                              r'su /org/bluez/hci0 \(.+\)\n$')

    def test_a_bluetoothd_restarted_during_a_search_is_searched_anew(self):
        def restart():
            self.server.terminate()
            self.server.wait()
            self.server, self.bluez = self.spawn_server_template('bluez5', {}, stdout=subprocess.DEVNULL)
            self.mock = dbus.Interface(self.bluez, 'org.bluez.Mock')
            self.adapter = self.bus.get_object('org.bluez', self.mock.AddAdapter('hci0', 'host'))
            remote = self.device(REMOTE, 'Nintendo RVL-CNT-01')
            self.bind_after(remote)
        out, err, took = self.find(10, restart)
        self.maxDiff = None
        self.assertEqual((out, err), ('1\n', GONE))
        self.assertEqual(self.calls(self.adapter)[:2], ['SetDiscoveryFilter', 'StartDiscovery'])

    def test_bluetoothds_faults_are_said_as_its_own_and_a_removed_device_is_not_tried_again(self):
        # bluetoothd killed as it pairs a remote: no SYNC to press.
        self.device(REMOTE, 'Nintendo RVL-CNT-01', pair='import time; time.sleep(3)')

        def killed():
            time.sleep(0.5)
            self.server.terminate()
            self.server.wait()
        out, err, took = self.find(5, killed)
        self.assertEqual((out, err), ('0\n', GONE))
        self.assertLess(took, 5 + 1)
        # A device whose object is gone as it pairs is not tried again.
        self.server, self.bluez = self.spawn_server_template('bluez5', {}, stdout=subprocess.DEVNULL)
        self.mock = dbus.Interface(self.bluez, 'org.bluez.Mock')
        self.adapter = self.bus.get_object('org.bluez', self.mock.AddAdapter('hci0', 'host'))
        gone = self.device(REMOTE, 'Nintendo RVL-CNT-01', pair=REFUSE.format('Unknown object', 'X').replace(
            'org.bluez.Error.X', 'org.freedesktop.DBus.Error.UnknownObject'))
        self.assertEqual(self.find(5)[:2], ('0\n', NOTHING))
        self.assertEqual(self.calls(gone), ['Pair'])

    def test_without_bluetoothd_or_with_the_adapter_off_the_search_goes_on_and_says_why_once(self):
        self.adapter.Set('org.bluez.Adapter1', 'Powered', False, dbus_interface=dbus.PROPERTIES_IFACE)
        out, err, took = self.find(1)
        self.assertEqual((out, err), ('0\n', 'Bluetooth non disponibile per la ricerca: '
                                             "l'adattatore /org/bluez/hci0 è spento (bluetoothctl power on)\n"))
        self.assertGreaterEqual(took, 0.9)
        self.server.terminate()
        self.server.wait()
        out, err, _ = self.find(1)
        self.assertEqual(out, '0\n')
        self.assertRegex(err, r'^Bluetooth non disponibile per la ricerca: bluetoothd non risponde \(.+\)\n$')


if __name__ == '__main__':
    unittest.main(verbosity=2)
