#include "gsmsim/DeliverPdu.h"

#include "gsmsim/GsmAlphabet.h"
#include "gsmsim/Hex.h"
#include "gsmsim/SmsFields.h"
#include "gsmsim/Utf8.h"

#include <algorithm>
#include <optional>

namespace qvx {

namespace {

constexpr size_t SingleSeptets = 160;
constexpr size_t PartSeptets = 153; // 160 less the 7 septets of the concatenation header
constexpr size_t SingleUnits = 70;
constexpr size_t PartUnits = 67; // 140 octets less the 6 octets of the header, in 16-bit units
constexpr size_t MaxParts = 255;

constexpr uint8_t DeliverNoMoreMessages = 0x04; // TP-MTI 00, TP-MMS set
constexpr uint8_t UserDataHeaderIndicator = 0x40;

// One part: the units of its text (septets or UTF-16 units) and how many there are.
using TUnits = std::vector<uint16_t>;

// Cuts units into parts of at most limit units, never between the two units of one character
// (an escape pair or a surrogate pair).
std::vector<TUnits> SplitUnits(const TUnits& units, size_t limit, bool gsm7) {
    std::vector<TUnits> parts;
    size_t i = 0;
    while (i < units.size()) {
        size_t end = std::min(units.size(), i + limit);
        bool splitsPair =
            end < units.size() && (gsm7 ? units[end - 1] == Gsm7Escape
                                        : (units[end - 1] >= 0xD800 && units[end - 1] <= 0xDBFF));
        if (splitsPair)
            --end;
        parts.emplace_back(units.begin() + static_cast<std::ptrdiff_t>(i),
                           units.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
    }
    if (parts.empty())
        parts.emplace_back();
    return parts;
}

TUnits Utf16Units(std::u32string_view text) {
    TUnits units;
    for (char32_t c : text) {
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(c));
        }
    }
    return units;
}

uint8_t SemiOctetPair(int value) {
    return static_cast<uint8_t>((value % 10) << 4 | (value / 10 % 10));
}

// 3GPP TS 23.040, 9.2.3.11: year to second in swapped semi-octets, then the zone in quarter
// hours with its sign in bit 3.
std::vector<uint8_t> TimeStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    long quarters = local.tm_gmtoff / 900;
    uint8_t zone = SemiOctetPair(static_cast<int>(quarters < 0 ? -quarters : quarters));
    if (quarters < 0)
        zone |= 0x08;
    return {SemiOctetPair(local.tm_year % 100),
            SemiOctetPair(local.tm_mon + 1),
            SemiOctetPair(local.tm_mday),
            SemiOctetPair(local.tm_hour),
            SemiOctetPair(local.tm_min),
            SemiOctetPair(local.tm_sec),
            zone};
}

std::vector<uint8_t> UserData(const TUnits& part, bool gsm7, const std::vector<uint8_t>& header,
                              uint8_t& udl) {
    if (gsm7) {
        std::vector<uint8_t> septets(part.begin(), part.end());
        udl = static_cast<uint8_t>((header.empty() ? 0 : HeaderSeptets(header.size())) +
                                   septets.size());
        return PackSeptets(header, septets);
    }
    std::vector<uint8_t> octets = header;
    for (uint16_t unit : part) {
        octets.push_back(static_cast<uint8_t>(unit >> 8));
        octets.push_back(static_cast<uint8_t>(unit & 0xFF));
    }
    udl = static_cast<uint8_t>(octets.size());
    return octets;
}

} // namespace

std::vector<std::string> BuildDeliverPdus(std::string_view number, std::string_view utf8Text,
                                          const TDeliverOptions& options) {
    auto smsc = EncodeSmscAddress(options.SmscNumber);
    auto originator = EncodeAddress(number);
    if (!smsc || !originator)
        return {};
    std::u32string text = Utf8ToCodePoints(utf8Text);
    auto septets = EncodeGsm7(text);
    bool gsm7 = septets.has_value();
    TUnits units = gsm7 ? TUnits(septets->begin(), septets->end()) : Utf16Units(text);
    size_t single = gsm7 ? SingleSeptets : SingleUnits;
    std::vector<TUnits> parts = units.size() <= single
                                    ? std::vector<TUnits>{units}
                                    : SplitUnits(units, gsm7 ? PartSeptets : PartUnits, gsm7);
    if (parts.size() > 1 && (!options.Concatenate || parts.size() > MaxParts))
        return {};
    std::vector<uint8_t> stamp =
        TimeStamp(options.Timestamp ? options.Timestamp : std::time(nullptr));
    std::vector<std::string> pdus;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::vector<uint8_t> header;
        if (parts.size() > 1) // concatenated message, 8-bit reference (IEI 00)
            header = {5,
                      0x00,
                      3,
                      options.ConcatRef,
                      static_cast<uint8_t>(parts.size()),
                      static_cast<uint8_t>(i + 1)};
        std::vector<uint8_t> pdu = *smsc;
        pdu.push_back(header.empty() ? DeliverNoMoreMessages
                                     : DeliverNoMoreMessages | UserDataHeaderIndicator);
        pdu.insert(pdu.end(), originator->begin(), originator->end());
        pdu.push_back(0x00);               // TP-PID
        pdu.push_back(gsm7 ? 0x00 : 0x08); // TP-DCS: default alphabet or UCS2, no class
        pdu.insert(pdu.end(), stamp.begin(), stamp.end());
        uint8_t udl = 0;
        std::vector<uint8_t> userData = UserData(parts[i], gsm7, header, udl);
        pdu.push_back(udl);
        pdu.insert(pdu.end(), userData.begin(), userData.end());
        pdus.push_back(OctetsToHex(pdu));
    }
    return pdus;
}

int32_t TpduLength(std::string_view pduHex) {
    std::vector<uint8_t> octets;
    if (!HexToOctets(pduHex, octets) || octets.empty())
        return -1;
    size_t smscOctets = size_t{1} + octets[0];
    if (smscOctets > octets.size())
        return -1;
    return static_cast<int32_t>(octets.size() - smscOctets);
}

} // namespace qvx
