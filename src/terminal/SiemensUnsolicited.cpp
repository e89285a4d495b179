// Unsolicited results saved aside before commands: one incoming call or USSD result per call,
// turned into queue entries.
#include "terminal/Siemens.h"

namespace qvx {

bool TSiemens::CheckForRing() {
    bool result = false;
    try {
        if (FSaved.empty())
            return false;
        if (!StripLeadingCrLf(FSaved)) {
            FScanner.Reset();
            return false;
        }
        if (FLogExchange)
            LogMessage("Получены данные от модема: \"%s\"", FSaved.c_str());
        FScanner.SetCallerLines(FClip);
        const TUnsolicitedEvent event = FScanner.Next(FSaved, FTickSource());
        if (event.Kind == TUnsolicitedKind::Call) {
            TRing ring;
            ring.Telephone = event.Telephone;
            ring.DateTime = Now();
            ring.International = event.International;
            ring.Count = 1;
            if (FClip)
                FRings.Push(ring);
            result = true;
        } else if (event.Kind == TUnsolicitedKind::Ussd) {
            LogMessage("USSD: \"%s\" size=%d/%d DCS=%d", event.UssdText.c_str(),
                       static_cast<int>(event.UssdText.size()),
                       static_cast<int>(event.UssdString.size()), event.UssdStatus);
            TSMS sms;
            sms.Telephone = "USSD";
            sms.Text = event.UssdText;
            sms.Flash = true;
            FIncoming.Push(sms);
        }
    } catch (...) {
        LogMessage("CheckForRing error !");
    }
    return result;
}

} // namespace qvx
