// The terminal's view of the mobile network: its registration (+CREG) and the signal strength
// (+CSQ) of 3GPP TS 27.007, parsed from the answers to at+creg? and at+csq. Pure logic on the
// answer text, bounded whatever the terminal sends; the terminal thread keeps the last values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qvx {

// <stat> of +CREG (3GPP TS 27.007); the numbers appear in the status and its JSON.
enum class TRegistration : int32_t {
    Unknown = -1, // never answered
    NotRegistered = 0,
    Home = 1,
    Searching = 2,
    Denied = 3,
    NotKnown = 4, // the terminal itself does not know
    Roaming = 5,
};

// <rssi> of +CSQ that stands for "not known or not detectable".
constexpr int32_t RssiUnknown = 99;

// The last values the terminal reported; each keeps its value until a new answer is understood.
struct TNetworkStatus {
    int32_t Registration = static_cast<int32_t>(TRegistration::Unknown);
    int32_t SignalRssi = RssiUnknown;
    // Wall-clock seconds of the last answer that was understood; 0 before the first.
    int64_t CheckedAt = 0;
};

// <stat> from the answer to at+creg? ("+CREG: <n>,<stat>[,<lac>,<ci>]"); nullopt for any
// other shape, an ERROR or silence. A one-field "+CREG: <stat>" is an unsolicited report and
// is passed over.
std::optional<int32_t> ParseRegistration(std::string_view answer) noexcept;

// <rssi> from the answer to at+csq ("+CSQ: <rssi>,<ber>"): 0..31 or RssiUnknown; nullopt for
// any other shape or value.
std::optional<int32_t> ParseSignal(std::string_view answer) noexcept;

// The signal in dBm: rssi 0 is -113 dBm or less, 31 is -51 dBm or more, two dB a step;
// nullopt for RssiUnknown or a value outside 0..31.
std::optional<int32_t> RssiToDbm(int32_t rssi) noexcept;

// Registration in words for the terminal log and the status (cp1251), and as a JSON name.
const char* RegistrationText(int32_t registration) noexcept;
const char* RegistrationName(int32_t registration) noexcept;

} // namespace qvx
