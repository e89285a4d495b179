// Fuzz target: a PDU line from the terminal, as it comes and as the hex text of the input's
// bytes (so that the fields themselves get mutated), decoded as an SMS-DELIVER; and the same
// text as a USSD string of UCS2 hex. Nothing may be read outside the line, and a decoded entry
// must respect the limits of the fields.
#include "infra/Hex.h"
#include "terminal/Pdu.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void CheckDeliver(std::string_view line) {
    qvx::TDeliver deliver;
    if (qvx::DecodeDeliver(line, deliver) != qvx::TDecodeStatus::Ok) {
        if (!deliver.Telephone.empty() || !deliver.Text.empty())
            __builtin_trap(); // a refused line leaves nothing behind
        return;
    }
    // Blanks, tabs and CR after the hex digits are ignored; the digits come in pairs.
    const size_t end = line.find_last_not_of(" \t\r");
    const size_t digits = end == std::string_view::npos ? 0 : end + 1;
    // 20 digits at most; at most 160 characters of text, or 140 octets as hex text.
    if (deliver.Telephone.size() > qvx::MaxPhoneDigits || deliver.Text.size() > 280 ||
        deliver.Dcs < 0 || deliver.Dcs > 255 || digits % 2 != 0)
        __builtin_trap();
}

std::string HexOf(const uint8_t* data, size_t size) {
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += qvx::HexDigits[data[i] >> 4];
        hex += qvx::HexDigits[data[i] & 15];
    }
    return hex;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    CheckDeliver(raw);
    CheckDeliver(HexOf(data, size));
    if (qvx::UCS2HexToText(raw).size() > size / 4)
        __builtin_trap();
    for (char c : raw) {
        int value = qvx::HexDigitValue(c);
        if (value < 0 || value > 15)
            __builtin_trap();
    }
    return 0;
}
