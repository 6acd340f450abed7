#include "trust.h"

#include <algorithm>
#include <cctype>

namespace wiiuse_linux {

bool driverBinds(const std::string &modalias)
{
	// "usb:v057Ep0306d0600", "bluetooth:v057Ep0330d...".
	std::string m = modalias;
	std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
	size_t colon = m.find(':');
	if (colon == std::string::npos)
		return false;
	std::string ids = m.substr(colon + 1, 10);
	return ids == "v057ep0306" || ids == "v057ep0330";
}

bool remoteClass(uint32_t deviceClass)
{
	uint32_t kind = deviceClass & 0x1ffc;
	return kind == 0x0504 || kind == 0x0508;
}

bool remoteName(const std::string &name)
{
	return name == "Nintendo RVL-CNT-01" || name == "Nintendo RVL-CNT-01-TR";
}

Kind kindOf(const Facts &f)
{
	if (!f.modalias.empty())
		return driverBinds(f.modalias) ? Kind::Remote : Kind::Stranger;
	if (!f.hid)
		return Kind::Unknown;
	return remoteName(f.name) && remoteClass(f.deviceClass) ? Kind::Lookalike : Kind::Stranger;
}

bool worthPairing(const Facts &f)
{
	return remoteName(f.name) || driverBinds(f.modalias) || (f.name.empty() && remoteClass(f.deviceClass));
}

bool misnamedLookalike(const Facts &f)
{
	return remoteClass(f.deviceClass) && !f.name.empty() && !remoteName(f.name) && !driverBinds(f.modalias);
}

bool mayConnect(Kind k, bool bindsWithoutId)
{
	return k == Kind::Remote || (k == Kind::Lookalike && bindsWithoutId);
}

bool presentsAsRemote(const Facts &f)
{
	if (f.deviceClass && !remoteClass(f.deviceClass))
		return false;
	if (!f.name.empty() && !remoteName(f.name) && !driverBinds(f.modalias))
		return false;
	switch (kindOf(f)) {
	case Kind::Remote:
		return f.driver.empty() || f.driver == "wiimote";
	case Kind::Lookalike:
	case Kind::Unknown:
		return f.driver.empty() || f.driver == "wiimote" || f.driver == "hid-generic";
	case Kind::Stranger:
		break;
	}
	return false;
}

bool mayBeOurs(const Facts &f)
{
	return remoteName(f.name) || remoteClass(f.deviceClass) || driverBinds(f.modalias);
}

} // namespace wiiuse_linux
