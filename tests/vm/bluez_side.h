// BlueZ in the virtual machine, for a remote over the air: bluetoothd runs
// both emulated controllers, the host's (hci0) and the remote's; the
// remote's side answers its half of a legacy PIN pairing as a Wii Remote
// does, and serves the remote's HID and Device ID records.
#ifndef TESTS_BLUEZ_SIDE_H
#define TESTS_BLUEZ_SIDE_H

#include <chrono>
#include <string>

// Starts bluetoothd and waits until it has powered the host's controller
// (hci0); every other controller is a remote's, which answers a PIN
// request at once, hci`late` `pinDelay` late. False, with a reason, when
// it fails.
bool startBluez(int late, std::chrono::milliseconds pinDelay, std::string &why);

// bluetoothd stops (SIGTERM, as systemctl restart does) and starts again,
// with what it stored: the bonds, not the remotes' SDP records or the
// agent, which are given it anew.
bool restartBluez(std::string &why);

// The remote's batteries put in: its controller takes a Wii Remote's name
// and class, and answers no inquiry yet. An original offers Nintendo's
// Device ID; a clone, as many remotes sold today, has none.
bool readySync(int remote, bool clone, std::string &why);
// Its red SYNC button, at once, once made ready: an original answers every
// inquiry from then on, a clone only the limited one.
bool pressSync(int remote);

// A remote not in SYNC mode (a new game's, which comes back by a button
// press) answers no inquiry, as a real one: an original's controller is
// made not discoverable, a clone's inquiry scan left off whatever the
// host does.
void leaveSync(int remote);

// hci`from`, switched on but seen by nobody, holds a link to hci`to` from
// now on. The emulated controllers
// number a link on each side apart, each with its lowest free handle, and
// hand data over under the sender's: a remote's controller that holds one
// link already answers the host's second link under the same number.
bool holdLink(int from, int to, std::string &why);

// Whether the host heard the clone on hci`clone` first in a limited
// inquiry. (Later a general one may hear it too: the clone's scan is set
// by a command of its controller's, which may wait behind the pairing's.)
bool heardFirstInLimited(int clone, std::string &why);

// Waits, 10 s at most, until hci`remote` holds no link to hci`host`. A
// link whose channels closed is torn down a while later (2 s): a new one
// made meanwhile races its end, and may be numbered apart on each side.
bool unlinked(int remote, int host, std::string &why);

// The remote's batteries pulled: its controller is switched off.
bool switchOff(int remote, std::string &why);

#endif
