#include "bringin.h"

namespace wiiuse_linux {

bool bluetoothdsFault(const std::string &error)
{
	return error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
	       error == "org.freedesktop.DBus.Error.NameHasNoOwner" || error == "org.freedesktop.DBus.Error.Disconnected";
}

bool objectGone(const std::string &error)
{
	return error == "org.freedesktop.DBus.Error.UnknownObject" || error == "org.freedesktop.DBus.Error.UnknownMethod" ||
	       error == "org.freedesktop.DBus.Error.UnknownInterface" || error == "org.bluez.Error.DoesNotExist";
}

Paired afterPairing(const std::string &error, Kind kind)
{
	if (bluetoothdsFault(error) || objectGone(error))
		return Paired::Lost;
	if (error.empty())
		return Paired::Yes;
	if (error == "org.bluez.Error.AlreadyExists")
		return Paired::Before;
	if (error == "org.freedesktop.DBus.Error.NoReply" || error == "org.freedesktop.DBus.Error.Timeout")
		return Paired::GivenUp;
	// Pairing failed (woken with 1+2: BlueZ has no PIN for that); a
	// connection may still be allowed, where bonding is not required, for a
	// remote whose Device ID says so.
	return kind == Kind::Remote ? Paired::ConnectAnyway : Paired::Refused;
}

Decision decide(const BringIn &b, Kind kind, bool noId, Time t, bool bindsWithoutId)
{
	// BlueZ reads the Device ID from the device's services, which it may
	// still be reading as the pairing ends. One whose services name none
	// may give it just after.
	bool late = kind == Kind::Unknown ? t < b.until
	                                  : noId && t < b.noIdSince + kLateDeviceId;
	if (late)
		return Decision::Wait;
	if (mayConnect(kind, bindsWithoutId))
		return Decision::Connect;
	if (kind == Kind::Lookalike)
		return Decision::NeedsRule;
	return kind == Kind::Unknown && b.pairedHere ? Decision::PairAgain : Decision::Leave;
}

bool connectedBy(const std::string &error)
{
	return error.empty() || error == "org.bluez.Error.AlreadyConnected";
}

bool pairingUnderWay(const BringIn &b)
{
	return b.stage == BringIn::Pairing && b.call != 0;
}

bool cutShort(const BringIn &b, Time t)
{
	return b.retry || t >= b.began + kTurnBudget;
}

} // namespace wiiuse_linux
