// The search's own limited inquiry, beside bluetoothd's general one. Many
// remotes sold today answer only the limited inquiry access code (LIAC,
// 0x9E8B00), which bluetoothd never sends. The kernel lets an ordinary
// user's raw HCI socket run an inquiry and read its results; bluetoothd
// hears nothing of them, so a remote heard this way is reached over L2CAP,
// on its service discovery channel: a connection makes bluetoothd add the
// device, which the search then pairs as any other.
#ifndef WIIUSE_INQUIRY_H
#define WIIUSE_INQUIRY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wiiuse_linux {

// A socket of the search's: closed with it.
struct Socket {
	int fd = -1;

	Socket() = default;
	explicit Socket(int f) : fd(f) {}
	Socket(const Socket &) = delete;
	Socket &operator=(const Socket &) = delete;
	Socket(Socket &&other) noexcept : fd(other.fd) { other.fd = -1; }
	Socket &operator=(Socket &&other) noexcept;
	~Socket();

	bool isOpen() const { return fd >= 0; }
};

// A device that answered, as BlueZ writes addresses ("00:19:1D:00:00:02").
struct Heard {
	std::string address;
	uint32_t deviceClass = 0;
};

enum class InquiryEvent {
	None,    // nothing of the inquiry's
	Result,  // devices answered: appended
	Began,   // the controller started an inquiry
	Over,    // the inquiry ended, or was cancelled
	Refused, // the controller would not start it (busy with another)
};

// One HCI event packet as a raw socket reads it, its type byte first.
InquiryEvent parseInquiryEvent(const uint8_t *packet, size_t size, std::vector<Heard> &heard);

// Which events are the search's own inquiry's. A raw socket hears every
// inquiry on the controller, anyone's; the controller runs one at a time
// and answers commands in order. So the first start or refusal after ours
// was sent is ours; once ours has `begun`, its end is ours, and a refusal
// is another client's; before it, an end is another inquiry's.
InquiryEvent ofOurs(InquiryEvent e, bool &begun);

// A raw HCI socket on controller hci`index`, for an inquiry of the
// search's, if that controller's address is `address` (bluetoothd's
// adapter's). Not open, with errno's reason in `why` and the number in
// `error`, when the kernel refuses (ENODEV: another controller).
Socket openInquiry(int index, const std::string &address, std::string &why, int &error);

// Starts a limited inquiry of `length` times 1.28 s, whose events come to
// the socket. False when it could not be sent.
bool startLimitedInquiry(const Socket &inquiry, int length);

// Reads what the inquiry's socket has, without waiting: Over or Refused
// once the search's own inquiry has ended (`begun`: see ofOurs, false when
// it is sent).
InquiryEvent readInquiry(const Socket &inquiry, std::vector<Heard> &heard, bool &begun);

// Ends the inquiry early.
void cancelInquiry(const Socket &inquiry);

// Opens an L2CAP connection from the adapter at `adapter` to the service
// discovery channel of `address`, without waiting for it.
Socket reach(const std::string &adapter, const std::string &address);

} // namespace wiiuse_linux

#endif
