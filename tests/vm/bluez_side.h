// BlueZ in the virtual machine, for a remote over the air: bluetoothd runs
// both emulated controllers, the host's (hci0) and the remote's; the
// remote's side answers its half of a legacy PIN pairing as a Wii Remote
// does, and serves the remote's HID and Device ID records.
#ifndef TESTS_BLUEZ_SIDE_H
#define TESTS_BLUEZ_SIDE_H

#include <chrono>
#include <string>

// Starts bluetoothd and waits until it has powered both controllers; the
// remote's controller is hci`remote`, which answers a PIN request
// `pinDelay` late. False, with a reason, when it fails.
bool startBluez(int remote, std::chrono::milliseconds pinDelay, std::string &why);

// The remote's red SYNC button: its controller takes a Wii Remote's name
// and class, and answers inquiries.
bool pressSync(int remote, std::string &why);

#endif
