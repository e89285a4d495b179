// Fuzz target: any Windows-1251 text encoded as SMS-SUBMIT PDUs, each part turned into the
// SMS-DELIVER a phone would receive and decoded again. The parts must respect the limits of
// TS 23.040 and, read in order, give the text back.
#include "infra/Hex.h"
#include "terminal/Pdu.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int32_t TpduOctetsMax = 158; // fields with a 20-digit number and 140 octets of data

int Octet(const std::string& hex, size_t at) {
    return qvx::HexValue(hex.at(2 * at)) * 16 + qvx::HexValue(hex.at(2 * at + 1));
}

// The DELIVER of one SUBMIT, read from the field layout: first octet, number, DCS and user
// data carried over, the service-centre time stamp made up.
std::string AsDeliver(const std::string& submit, int& udl, int& firstOctet) {
    size_t at = 1 + Octet(submit, 0);
    firstOctet = Octet(submit, at);
    size_t numberAt = at + 2; // TP-DA length
    size_t digitOctets = (Octet(submit, numberAt) + 1) / 2;
    size_t dcsAt = numberAt + 2 + digitOctets + 1; // length, type, digits, TP-PID
    udl = Octet(submit, dcsAt + 2);                // after TP-VP
    std::string deliver = "00";
    deliver += (firstOctet & 0x40) ? "44" : "04";
    deliver += submit.substr(2 * numberAt, 2 * (2 + digitOctets));
    deliver += "00" + submit.substr(2 * dcsAt, 2) + "52107261424500";
    deliver += submit.substr(2 * (dcsAt + 2));
    return deliver;
}

// What the text must become: 7-bit when every character has a septet, else UCS2.
struct TExpected {
    qvx::TEncodeStatus Status = qvx::TEncodeStatus::Ok;
    bool Gsm7 = true;
    size_t MinParts = 1;
    size_t MaxParts = 1;
    bool EitherLength = false; // the cuts decide between Ok and TooLong
};

// Septets of each cp1251 byte, 0 where the alphabet has no place for it.
struct TSeptetCounts {
    size_t Of[256];
    TSeptetCounts() {
        for (int b = 0; b < 256; ++b) {
            std::vector<uint8_t> septets;
            qvx::Cp1251ToGsm7(static_cast<unsigned char>(b), septets);
            Of[b] = septets.size();
        }
    }
};

TExpected ExpectedOf(std::string_view text) {
    static const TSeptetCounts counts;
    TExpected e;
    size_t septets = 0;
    bool unassigned = false;
    for (char c : text) {
        size_t n = counts.Of[static_cast<unsigned char>(c)];
        e.Gsm7 = e.Gsm7 && n != 0;
        septets += n;
        unassigned = unassigned || c == '\x98';
    }
    auto parts = [](size_t units, size_t perPart) { return (units + perPart - 1) / perPart; };
    if (text.empty()) {
        e.Status = qvx::TEncodeStatus::EmptyText;
    } else if (e.Gsm7 && septets > qvx::SingleSeptetsMax) {
        e.MinParts = parts(septets, qvx::PartSeptetsMax);     // a cut before an escape pair
        e.MaxParts = parts(septets, qvx::PartSeptetsMax - 1); // may leave one septet free
    } else if (!e.Gsm7 && unassigned) {
        e.Status = qvx::TEncodeStatus::Unicode;
    } else if (!e.Gsm7 && text.size() > qvx::SingleUcs2Max) {
        e.MinParts = e.MaxParts = parts(text.size(), qvx::PartUcs2Max);
    }
    if (e.Status == qvx::TEncodeStatus::Ok && e.MinParts > qvx::MaxParts)
        e.Status = qvx::TEncodeStatus::TooLong;
    e.EitherLength = e.MinParts <= qvx::MaxParts && e.MaxParts > qvx::MaxParts;
    return e;
}

// Decodes one part and checks its header; returns its text.
std::string CheckPart(const qvx::TSubmitPdu& part, const TExpected& e, std::string_view digits,
                      bool flash, uint8_t ref, size_t seq, size_t total) {
    if (part.CommandLength != int32_t(part.Hex.size() / 2 - 1) ||
        part.CommandLength > TpduOctetsMax)
        __builtin_trap();
    int udl = 0, firstOctet = 0;
    const std::string line = AsDeliver(part.Hex, udl, firstOctet);
    qvx::TDeliver deliver;
    if (qvx::DecodeDeliver(line, deliver) != qvx::TDecodeStatus::Ok || deliver.Telephone != digits)
        __builtin_trap();
    const int dcs = e.Gsm7 ? (flash ? 0xF0 : 0x00) : 0x08;
    if (deliver.Dcs != dcs || firstOctet != (total > 1 ? 0x51 : 0x11))
        __builtin_trap();
    if (total > 1) {
        // The header: its octets follow UDL, which sits right after the time stamp.
        const size_t udhAt = 2 + 2 * (3 + (digits.size() + 1) / 2) + 2 + 2 + 14 + 2;
        const std::string udh = line.substr(udhAt, 12);
        char expected[13];
        snprintf(expected, sizeof expected, "050003%02X%02zX%02zX", ref, total, seq);
        if (udh != expected)
            __builtin_trap();
    }
    return deliver.Text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Beyond a few parts a longer text only costs time.
    constexpr size_t TextMax = 1200;
    if (size < 2)
        return 0;
    size = std::min(size, 2 + TextMax);
    static constexpr std::string_view AllDigits = "79031234567890123456";
    const bool flash = data[0] & 1;
    const std::string_view digits = AllDigits.substr(0, 1 + (data[0] >> 1) % qvx::MaxPhoneDigits);
    const uint8_t ref = data[1];
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<qvx::TSubmitPdu> parts;
    const qvx::TEncodeStatus status = qvx::EncodeSubmit(digits, text, flash, ref, parts);
    const TExpected e = ExpectedOf(text);
    if (status != e.Status && !(e.EitherLength && status == qvx::TEncodeStatus::TooLong))
        __builtin_trap();
    if (status != qvx::TEncodeStatus::Ok) {
        if (!parts.empty())
            __builtin_trap();
        return 0;
    }
    if (parts.size() < e.MinParts || parts.size() > e.MaxParts)
        __builtin_trap();
    std::string back;
    for (size_t i = 0; i < parts.size(); ++i)
        back += CheckPart(parts[i], e, digits, flash, ref, i + 1, parts.size());
    // A NUL goes out as the UCS2 unit 0000, where a receiver's text ends.
    if (text.find('\0') == std::string_view::npos && back != text)
        __builtin_trap();
    return 0;
}
