// Whether a Bluetooth device is a Wii Remote, from what BlueZ and sysfs say
// of it: the one place the search decides what it pairs, connects and
// trusts. Everything here but the bound driver is the device's own word,
// so a device is connected only where the kernel's hid-wiimote will take
// it, and trusted (it may then reconnect whenever it likes) only once the
// driver has bound it and it has answered as a remote.
#ifndef WIIUSE_TRUST_H
#define WIIUSE_TRUST_H

#include <cstdint>
#include <string>

namespace wiiuse_linux {

// What is known of a device.
struct Facts {
	std::string name;
	std::string modalias; // its Device ID as BlueZ has it; empty: none known
	uint32_t deviceClass = 0;
	bool hid = false;     // its services are read and offer HID
	bool trusted = false; // in BlueZ
	std::string driver;   // the HID driver bound to it now; empty: none, or not connected
};

enum class Kind {
	Unknown,   // its Device ID is not known yet: neither connected nor trusted
	Remote,    // a Device ID the driver binds: trusted and connected, whatever its name
	Lookalike, // no Device ID, made as a remote (its name, its class, HID)
	Stranger,  // anything else: left alone, unpaired where the search paired it
};

Kind kindOf(const Facts &f);

// Whether the driver binds a device of this modalias: vendor 057e, product
// 0306 (Wii Remote) or 0330 (Wii Remote Plus).
bool driverBinds(const std::string &modalias);

// A Wii Remote's class of device, whatever its service bits: a peripheral
// joystick (the original, and the remotes made like it: 0x002504) or
// gamepad (the Plus: 0x000508).
bool remoteClass(uint32_t deviceClass);

// The names remotes give, the ones udev's rule hands to the driver.
bool remoteName(const std::string &name);

// Worth pairing, before its Device ID is known: by its name, its Device
// ID, or while its name is not known yet (a remote has no extended inquiry
// response: its name comes some 10 s on) by its class.
bool worthPairing(const Facts &f);

// Whether the search may connect it. A look-alike only where udev's rule
// hands it to the driver (`bindsWithoutId`).
bool mayConnect(Kind k, bool bindsWithoutId);

// A device made as a remote (its class) whose name is none the driver
// takes, and with no Device ID that it takes: never paired, and worth
// saying, since it may be a remote sold today under another name.
bool misnamedLookalike(const Facts &f);

// Whether a device presents itself as a remote now, by everything known of
// it: its class, if known, a remote's; its name, if known, one udev's rule
// hands over (or a Device ID the driver binds, whatever the name); a
// Device ID the driver binds, or none with HID services; and no driver
// bound but hid-wiimote (or hid-generic, which holds one with no Device ID
// until udev's rule moves it). A device is trusted only once the driver
// has bound it and it has answered as a remote, and keeps its trust only
// while it presents itself as one.
bool presentsAsRemote(const Facts &f);

// With no record of what the library trusted: whether a trusted device is
// one it may have trusted, by its name, its class or its Device ID.
bool mayBeOurs(const Facts &f);

} // namespace wiiuse_linux

#endif
