#include "radio.h"

namespace wiiuse_linux {

void discoveryStarted(RadioTurns &r, Time t)
{
	r.discovering = true;
	r.radio = Radio::General;
	r.until = t + kFirstGeneralTurn;
}

RadioCall turnRadio(RadioTurns &r, const RadioNews &news, Time t, Time deadline, bool pairing, bool inquiryOpen)
{
	switch (r.radio) {
	case Radio::General:
		if (t < r.until || pairing || t + kLastTurnBefore >= deadline)
			return RadioCall::None;
		if (!inquiryOpen)
			return RadioCall::OpenInquiry;
		r.radio = Radio::Stopping;
		return RadioCall::StopDiscovery;
	case Radio::Stopping:
		if (!news.answered)
			return RadioCall::None;
		r.discovering = false;
		r.radio = Radio::Limited;
		r.until = t + kLimitedLength * Ms(1280) + kLimitedGrace;
		return RadioCall::Inquire;
	case Radio::Limited:
		// Its end, or the controller's refusal (it inquires for another
		// client), or no word of its end in time: then it is cancelled.
		if (news.inquiry == InquiryEvent::Over || news.inquiry == InquiryEvent::Refused) {
			r.radio = Radio::Ending;
			return turnRadio(r, {}, t, deadline, pairing, inquiryOpen);
		}
		if (t < r.until)
			return RadioCall::None;
		r.radio = Radio::Ending;
		return RadioCall::CancelInquiry;
	case Radio::Ending:
		r.radio = Radio::Starting;
		return RadioCall::StartDiscovery;
	case Radio::Starting:
		if (!news.answered)
			return RadioCall::None;
		r.discovering = news.ok;
		r.radio = Radio::General;
		r.until = t + kGeneralTurn;
		return RadioCall::None;
	case Radio::Off:
		break;
	}
	return RadioCall::None;
}

Time turnEnds(const RadioTurns &r)
{
	return r.radio == Radio::General || r.radio == Radio::Limited ? r.until : kNever;
}

} // namespace wiiuse_linux
