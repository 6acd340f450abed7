#include "notices.h"
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <cstdlib>
#include <cstring>

namespace wiiuse_linux {

namespace {

// A device heard by the limited inquiry: if bluetoothd knows it, it is in
// range; if not, it is paged, which makes bluetoothd add it.
void heard(BluezSearch &s, const Heard &h, Time t)
{
	if (!remoteClass(h.deviceClass))
		return;
	auto it = s.peers.find(h.address);
	if (it != s.peers.end() && (!it->second.path.empty() || it->second.stage == Stage::Reaching)) {
		it->second.heard = true;
		return;
	}
	Socket page = s.hci.reach(s.adapterAddress, h.address);
	if (!page.isOpen())
		return; // heard anew by the next inquiry
	Peer &p = s.peers[h.address];
	p.d.address = h.address;
	p.d.adapter = s.adapter;
	p.d.deviceClass = h.deviceClass;
	p.heard = true;
	p.stage = Stage::Reaching;
	p.due = t + kReachFor;
	p.page = std::move(page);
	p.paging = true;
}

} // namespace

void paged(BluezSearch &s, const Peer &page, short revents)
{
	auto it = std::find_if(s.peers.begin(), s.peers.end(), [&](const auto &e) { return &e.second == &page; });
	if (it == s.peers.end() || !revents)
		return;
	Peer &p = it->second;
	int error = 0;
	socklen_t size = sizeof error;
	p.paging = false;
	if (getsockopt(p.page.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 && !(revents & (POLLERR | POLLHUP)))
		return; // connected: bluetoothd adds it
	// Not reached: heard anew by a later inquiry.
	p.page = Socket();
	if (p.path.empty())
		forget(s.peers, p);
	else if (p.stage == Stage::Reaching)
		p.stage = Stage::Idle, p.due = kNever;
}

// What the limited inquiry has heard, and whether it is over, for the
// radio's next step.
void listen(BluezSearch &s, Time t)
{
	if (s.radio.radio != Radio::Limited && s.radio.radio != Radio::Cancelling)
		return;
	std::vector<Heard> got;
	InquiryEvent e = readInquiry(s.inquiry, got, s.inquiryBegun);
	if (e != InquiryEvent::None)
		s.news.inquiry = e;
	for (const Heard &h : got)
		heard(s, h, t);
	// The controller inquires for someone else: another program's
	// discovery. bluetoothd's joins it.
	if (e == InquiryEvent::Refused)
		limitedRefused(s.adapter);
}

// Carries out what the radio calls for, and tells it what came of it.
void turnRadio(BluezSearch &s, Time t, Time deadline)
{
	RadioNews news = s.news;
	s.news = {};
	for (;;) {
		std::vector<BusCall> calls;
		switch (stepRadio(s.radio, news, t, deadline, holdingRadio(s.peers), s.inquiry.isOpen())) {
		case RadioCall::None:
			return;
		case RadioCall::OpenInquiry: {
			std::string why;
			int error = 0;
			s.inquiry = s.hci.open(std::atoi(s.adapter.c_str() + s.adapter.rfind("hci") + 3), s.adapterAddress,
			                       why, error);
			// A controller bluetoothd has and the kernel has not (a
			// stand-in bluetoothd) is nothing the operator can change.
			if (!s.inquiry.isOpen() && error != ENODEV && error != EAFNOSUPPORT)
				limitedUnavailable(s.adapter, why);
			break;
		}
		case RadioCall::Inquire: {
			// What the socket heard before, the end of another inquiry
			// among it, is not this one's.
			std::vector<Heard> before;
			readInquiry(s.inquiry, before, s.inquiryBegun);
			s.inquiryBegun = false;
			if (startLimitedInquiry(s.inquiry, kLimitedLength))
				break;
			if (errno == ENETDOWN) {
				// The controller is switched off (bluetoothd stopping, or
				// the adapter powered off): the start is asked again.
				pauseAdapter(s, t);
				return;
			}
			limitedUnavailable(s.adapter, std::strerror(errno));
			s.radio.noInquiry = true;
			s.radio.radio = Radio::Idle;
			break;
		}
		case RadioCall::CancelInquiry:
			cancelInquiry(s.inquiry);
			break;
		case RadioCall::StartDiscovery:
			calls.push_back({BusCall::Filter, s.adapter});
			calls.push_back({BusCall::StartDiscovery, s.adapter});
			calls.back().awaited = true;
			s.radioCall = send(s, calls);
			break;
		}
		news = {};
	}
}

} // namespace wiiuse_linux
