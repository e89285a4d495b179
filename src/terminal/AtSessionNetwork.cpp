// The network query: the registration (at+creg?) and the signal (at+csq), kept for the status
// and logged when the registration changes. An answer of another shape, an ERROR or silence
// leaves the last values as they are.
#include "terminal/AtSession.h"
#include "terminal/Listing.h"

#include <ctime>

namespace qvx {

TNetworkStatus TAtSession::QueryNetwork(TNetworkStatus last) {
    try {
        std::string answer;
        if (AskNetwork("at+creg?", answer))
            if (const auto stat = ParseRegistration(answer)) {
                const bool changed = *stat != last.Registration;
                last.Registration = *stat;
                last.CheckedAt = std::time(nullptr);
                if (changed)
                    LogMessage("Регистрация в сети: %s [%d]", RegistrationText(*stat), *stat);
            }
        // A terminal that said nothing at all would only make the second wait as long.
        if (answer.empty() || Stopped())
            return last;
        if (AskNetwork("at+csq", answer))
            if (const auto rssi = ParseSignal(answer)) {
                last.SignalRssi = *rssi;
                last.CheckedAt = std::time(nullptr);
            }
    } catch (...) {
        // Only an allocation failure gets here; the next period asks again.
    }
    return last;
}

bool TAtSession::AskNetwork(const std::string& command, std::string& answer) {
    const bool answered =
        SendCommand(command, answer, true, "OK", FOptions.Settings.ModemTimeoutMs);
    // Calls and USSD results that arrived meanwhile belong to NextUnsolicited().
    Save(UnsolicitedLines(answer));
    return answered;
}

} // namespace qvx
