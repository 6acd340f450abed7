#include "inquiry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wiiuse_linux {

namespace {

// The kernel's Bluetooth socket interface (linux/bluetooth.h, hci.h, l2cap.h).
constexpr int kProtoL2cap = 0;
constexpr int kProtoHci = 1;
constexpr int kSolHci = 0;
constexpr int kHciFilter = 2;
constexpr unsigned short kChannelRaw = 0;

struct HciAddress {
	sa_family_t family;
	unsigned short dev;
	unsigned short channel;
};
struct HciFilter {
	uint32_t typeMask;
	uint32_t eventMask[2];
	uint16_t opcode;
};
struct __attribute__((packed)) BdAddr {
	uint8_t b[6];
};
struct L2capAddress {
	sa_family_t family;
	unsigned short psm; // little-endian
	BdAddr address;
	unsigned short cid;
	uint8_t addressType;
};

constexpr uint8_t kCommandPacket = 0x01, kEventPacket = 0x04;
constexpr uint8_t kInquiryComplete = 0x01, kInquiryResult = 0x02, kCommandComplete = 0x0e, kCommandStatus = 0x0f,
                  kInquiryResultRssi = 0x22, kExtendedInquiryResult = 0x2f;
constexpr uint16_t kInquiry = 0x0401, kInquiryCancel = 0x0402;
constexpr uint8_t kLiac[3] = {0x00, 0x8b, 0x9e};

std::string addressText(const uint8_t *b)
{
	char s[18];
	std::snprintf(s, sizeof s, "%02X:%02X:%02X:%02X:%02X:%02X", b[5], b[4], b[3], b[2], b[1], b[0]);
	return s;
}

bool parseAddress(const std::string &text, BdAddr &a)
{
	unsigned v[6];
	if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &v[5], &v[4], &v[3], &v[2], &v[1], &v[0]) != 6)
		return false;
	for (int i = 0; i < 6; ++i)
		a.b[i] = static_cast<uint8_t>(v[i]);
	return true;
}

uint32_t classOf(const uint8_t *c)
{
	return c[0] | c[1] << 8 | static_cast<uint32_t>(c[2]) << 16;
}

bool command(const Socket &s, uint16_t opcode, const uint8_t *params, uint8_t size)
{
	uint8_t packet[4 + 255] = {kCommandPacket, static_cast<uint8_t>(opcode), static_cast<uint8_t>(opcode >> 8), size};
	if (size)
		std::memcpy(packet + 4, params, size);
	ssize_t n;
	do
		n = write(s.fd, packet, 4u + size);
	while (n < 0 && errno == EINTR);
	return n == 4 + size;
}

} // namespace

Socket &Socket::operator=(Socket &&other) noexcept
{
	if (this != &other) {
		if (fd >= 0)
			::close(fd);
		fd = other.fd;
		other.fd = -1;
	}
	return *this;
}

Socket::~Socket()
{
	if (fd >= 0)
		::close(fd);
}

InquiryEvent parseInquiryEvent(const uint8_t *p, size_t n, std::vector<Heard> &heard)
{
	if (n < 3 || p[0] != kEventPacket || n < 3u + p[2])
		return InquiryEvent::None;
	const uint8_t *e = p + 3;
	size_t size = p[2];
	switch (p[1]) {
	case kInquiryComplete:
		return InquiryEvent::Over;
	case kCommandComplete:
		// Credits, opcode, status: an inquiry cancelled (by the kernel, to
		// page a device) ends without its complete event; a cancel refused
		// found none running.
		return size >= 4 && (e[1] | e[2] << 8) == kInquiryCancel && e[3] == 0 ? InquiryEvent::Over
		                                                                       : InquiryEvent::None;
	case kCommandStatus:
		// Status, credits, opcode: a refused start ends it at once.
		if (size >= 4 && (e[2] | e[3] << 8) == kInquiry)
			return e[0] != 0 ? InquiryEvent::Refused : InquiryEvent::Began;
		return InquiryEvent::None;
	case kInquiryResult:
	case kInquiryResultRssi:
	case kExtendedInquiryResult: {
		// Each answer: address, scan modes, class, clock offset, then the
		// signal's strength and the extended response where the event has
		// them. The class comes after three bytes of modes, or two.
		if (size < 1 || !e[0])
			return InquiryEvent::None;
		size_t each = 14, classAt = 8;
		if (p[1] == kInquiryResult)
			classAt = 9;
		else if (p[1] == kExtendedInquiryResult)
			each = 254;
		else if ((size - 1) / e[0] == 15)
			each = 15, classAt = 9; // the form with a scan mode byte more
		size_t before = heard.size();
		for (size_t i = 0; i < e[0] && 1 + (i + 1) * each <= size; ++i) {
			const uint8_t *r = e + 1 + i * each;
			heard.push_back({addressText(r), classOf(r + classAt)});
		}
		return heard.size() > before ? InquiryEvent::Result : InquiryEvent::None;
	}
	default:
		return InquiryEvent::None;
	}
}

Socket openInquiry(int index, const std::string &address, std::string &why, int &error)
{
	Socket s(socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, kProtoHci));
	HciAddress a{AF_BLUETOOTH, static_cast<unsigned short>(index), kChannelRaw};
	// Only what the inquiry says: its results, its end, and whether it began.
	HciFilter f{};
	f.typeMask = 1u << kEventPacket;
	for (uint8_t code :
	     {kInquiryComplete, kInquiryResult, kCommandComplete, kCommandStatus, kInquiryResultRssi, kExtendedInquiryResult})
		f.eventMask[code / 32] |= 1u << (code % 32);
	if (!s.isOpen() || bind(s.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0 ||
	    setsockopt(s.fd, kSolHci, kHciFilter, &f, sizeof f) < 0) {
		error = errno;
		why = std::strerror(errno);
		return Socket();
	}
	// The controller's own address (HCIGETDEVINFO: its number, its name,
	// then its address), which an ordinary user may read: a bluetoothd whose
	// adapter is not this controller (a stand-in on a bus of its own) is
	// never given the machine's radio.
	constexpr unsigned long kGetDevInfo = _IOR('H', 211, int);
	uint8_t info[512] = {};
	std::memcpy(info, &a.dev, sizeof a.dev);
	BdAddr mine{};
	if (ioctl(s.fd, kGetDevInfo, info) < 0 || !parseAddress(address, mine) || std::memcmp(info + 10, mine.b, 6)) {
		error = ENODEV;
		why = "non è il controller di bluetoothd";
		return Socket();
	}
	return s;
}

bool startLimitedInquiry(const Socket &s, int length)
{
	const uint8_t params[5] = {kLiac[0], kLiac[1], kLiac[2], static_cast<uint8_t>(length), 0};
	return command(s, kInquiry, params, sizeof params);
}

InquiryEvent ofOurs(InquiryEvent e, bool &begun)
{
	switch (e) {
	case InquiryEvent::Began:
		begun = true;
		return InquiryEvent::None;
	case InquiryEvent::Refused:
		return begun ? InquiryEvent::None : e;
	case InquiryEvent::Over:
		return begun ? e : InquiryEvent::None;
	default:
		return e;
	}
}

InquiryEvent readInquiry(const Socket &s, std::vector<Heard> &heard, bool &begun)
{
	InquiryEvent ended = InquiryEvent::None;
	uint8_t packet[260];
	for (ssize_t n; (n = read(s.fd, packet, sizeof packet)) > 0 || (n < 0 && errno == EINTR);) {
		InquiryEvent e =
		    n > 0 ? ofOurs(parseInquiryEvent(packet, static_cast<size_t>(n), heard), begun) : InquiryEvent::None;
		if (e == InquiryEvent::Over || e == InquiryEvent::Refused)
			ended = e;
	}
	return ended;
}

void cancelInquiry(const Socket &s)
{
	command(s, kInquiryCancel, nullptr, 0);
}

Socket reach(const std::string &adapter, const std::string &address)
{
	L2capAddress local{}, remote{};
	local.family = remote.family = AF_BLUETOOTH;
	remote.psm = 1; // service discovery, open to anyone
	if (!parseAddress(adapter, local.address) || !parseAddress(address, remote.address))
		return Socket();
	Socket s(socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, kProtoL2cap));
	if (!s.isOpen() || bind(s.fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0 ||
	    (connect(s.fd, reinterpret_cast<const sockaddr *>(&remote), sizeof remote) < 0 && errno != EINPROGRESS))
		return Socket();
	return s;
}

} // namespace wiiuse_linux
