// Unsolicited results saved aside before commands, or watched for by a terminal that does not
// list its SIM: one incoming call or USSD result per call.
#include "terminal/AtSession.h"

namespace qvx {

TGsmResult TAtSession::Watch() {
    if (!FPort.IsOpen())
        return TGsmResult::PortNotReady;
    Pause(FOptions.PassPauseMs);
    FlushSave();
    return PortBroken() ? TGsmResult::PortNotReady : TGsmResult::OK;
}

TUnsolicitedEvent TAtSession::NextUnsolicited() {
    try {
        if (FSaved.empty())
            return {};
        if (!StripLeadingCrLf(FSaved)) {
            FScanner.Reset();
            return {};
        }
        if (FOptions.LogExchange)
            LogMessage("Получены данные от модема: \"%s\"", FSaved.c_str());
        FScanner.SetCallerLines(FOptions.Clip);
        TUnsolicitedEvent event = FScanner.Next(FSaved, FOptions.TickSource());
        if (event.Kind == TUnsolicitedKind::Ussd)
            LogMessage("USSD: \"%s\" size=%d/%d DCS=%d", event.UssdText.c_str(),
                       static_cast<int>(event.UssdText.size()),
                       static_cast<int>(event.UssdString.size()), event.UssdStatus);
        return event;
    } catch (...) {
        LogMessage("CheckForRing error !");
    }
    return {};
}

} // namespace qvx
