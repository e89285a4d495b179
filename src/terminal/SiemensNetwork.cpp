// The network step of the working loop: the registration (at+creg?) and the signal (at+csq),
// asked once after each initialisation and then once a period, kept for the status and logged
// when the registration changes. An answer of another shape, an ERROR or silence leaves the
// last values as they are and changes nothing else in the loop.
#include "terminal/Listing.h"
#include "terminal/Siemens.h"

namespace qvx {

TNetworkStatus TSiemens::Network() const {
    std::lock_guard<std::mutex> lock(FNetworkLock);
    return FNetwork;
}

bool TSiemens::NetworkQueryDue() const {
    return !FNetworkQueried || uint32_t(FTickSource() - FNetworkQueriedTick) >= FNetworkPeriodMs;
}

void TSiemens::QueryNetwork() {
    FNetworkQueried = true;
    FNetworkQueriedTick = FTickSource();
    try {
        std::string answer;
        if (AskNetwork("at+creg?", answer))
            if (const auto stat = ParseRegistration(answer))
                KeepRegistration(*stat);
        // A terminal that said nothing at all would only make the second wait as long.
        if (answer.empty() || Terminated())
            return;
        if (AskNetwork("at+csq", answer))
            if (const auto rssi = ParseSignal(answer))
                KeepSignal(*rssi);
    } catch (...) {
        // Only an allocation failure gets here; the next period asks again.
    }
}

bool TSiemens::AskNetwork(const std::string& command, std::string& answer) {
    const bool answered = SendCommand(command, answer, true, "OK", FSettings.ModemTimeoutMs);
    // Calls and USSD results that arrived meanwhile belong to CheckForRing.
    FSaved += UnsolicitedLines(answer);
    BoundSaved(FSaved, SavedMax);
    return answered;
}

void TSiemens::KeepRegistration(int32_t registration) {
    {
        std::lock_guard<std::mutex> lock(FNetworkLock);
        FNetwork.Registration = registration;
        FNetwork.CheckedAt = std::time(nullptr);
    }
    if (registration == FLoggedRegistration)
        return;
    FLoggedRegistration = registration;
    LogMessage("Регистрация в сети: %s [%d]", RegistrationText(registration), registration);
}

void TSiemens::KeepSignal(int32_t rssi) {
    std::lock_guard<std::mutex> lock(FNetworkLock);
    FNetwork.SignalRssi = rssi;
    FNetwork.CheckedAt = std::time(nullptr);
}

} // namespace qvx
