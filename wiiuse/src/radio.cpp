#include "radio.h"

namespace wiiuse_linux {

RadioCall stepRadio(RadioState &r, const RadioNews &news, Time t, Time deadline, bool holding, bool socketOpen)
{
	switch (r.radio) {
	case Radio::Idle:
		if (!socketOpen && !r.noInquiry) {
			if (!r.asked) {
				r.asked = true;
				return RadioCall::OpenInquiry;
			}
			r.noInquiry = true;
		}
		if (r.noInquiry) {
			r.radio = Radio::Starting;
			r.due = kNever;
			return RadioCall::StartDiscovery;
		}
		if (holding || t + kLastTurnBefore >= deadline) {
			r.due = kNever; // woken by what ends the hold
			return RadioCall::None;
		}
		r.radio = Radio::Limited;
		r.due = t + kLimitedLength * Ms(1280) + kLimitedGrace;
		return RadioCall::Inquire;
	case Radio::Limited:
		if (news.inquiry == InquiryEvent::Refused)
			r.noInquiry = true;
		if (news.inquiry == InquiryEvent::Over || news.inquiry == InquiryEvent::Refused) {
			r.radio = Radio::Idle;
			return stepRadio(r, {}, t, deadline, holding, socketOpen);
		}
		if (t < r.due)
			return RadioCall::None;
		r.radio = Radio::Cancelling;
		r.due = t + kCancelGrace;
		return RadioCall::CancelInquiry;
	case Radio::Cancelling:
		if (news.inquiry == InquiryEvent::None && t < r.due)
			return RadioCall::None;
		r.radio = Radio::Idle;
		return stepRadio(r, {}, t, deadline, holding, socketOpen);
	case Radio::Starting:
		if (!news.answered)
			return RadioCall::None;
		r.discovering = news.ok;
		r.radio = news.ok ? Radio::General : Radio::Off;
		return RadioCall::None;
	case Radio::General:
	case Radio::Off:
		break;
	}
	return RadioCall::None;
}

} // namespace wiiuse_linux
