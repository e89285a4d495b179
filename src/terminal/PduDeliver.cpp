// SMS-DELIVER decoding (3GPP TS 23.040 9.2.2.1) of one line of a PDU listing, and the hex and
// UCS2 helpers it shares with the decoding of USSD answers. Nothing is read past the line.
#include "infra/Codepage.h"
#include "infra/Hex.h"
#include "terminal/GsmAlphabet.h"
#include "terminal/Pdu.h"

namespace qvx {

namespace {

constexpr uint8_t UdhiBit = 0x40;
constexpr uint8_t MtiMask = 0x03;
// TS 23.040 9.2.3.1: a receiver takes the reserved value 3 as an SMS-DELIVER.
constexpr uint8_t MtiSubmit = 1;
constexpr uint8_t MtiStatusReport = 2;
constexpr size_t SctsOctets = 7;
constexpr size_t MaxOctets = 140;

enum class TCoding { Gsm7, Data8, Ucs2 };

// The alphabet a data coding scheme names (TS 23.038 clause 4). Compressed text and reserved
// values cannot be read as text, so they are shown as their octets.
TCoding CodingOf(uint8_t dcs) {
    switch (dcs >> 4) {
    case 0x0:
    case 0x1:
    case 0x2:
    case 0x3: // general data coding
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7: // the same, marked for automatic deletion
        if (dcs & 0x20)
            return TCoding::Data8;
        switch ((dcs >> 2) & 3) {
        case 0:
            return TCoding::Gsm7;
        case 2:
            return TCoding::Ucs2;
        default:
            return TCoding::Data8;
        }
    case 0xC:
    case 0xD:
        return TCoding::Gsm7; // message waiting, default alphabet
    case 0xE:
        return TCoding::Ucs2; // message waiting, UCS2
    case 0xF:
        return (dcs & 0x04) ? TCoding::Data8 : TCoding::Gsm7;
    default:
        return TCoding::Data8; // reserved coding groups
    }
}

// Octet from two characters; a character that is not a hex digit counts as 0.
uint8_t OctetAt(std::string_view hex, size_t octet) {
    uint8_t high = HexValue(hex[2 * octet]);
    uint8_t low = HexValue(hex[2 * octet + 1]);
    return static_cast<uint8_t>((high == NotHex ? 0 : high) << 4 | (low == NotHex ? 0 : low));
}

// Octets of a checked hex line, read front to back; every read is bounded by the line.
class TOctetReader {
public:
    explicit TOctetReader(std::string_view hex) : FHex(hex), FSize(hex.size() / 2) {}
    bool Has(size_t octets) const { return FSize - FPos >= octets; }
    bool Read(uint8_t& octet) {
        if (!Has(1))
            return false;
        octet = OctetAt(FHex, FPos++);
        return true;
    }
    bool Skip(size_t octets) {
        if (!Has(octets))
            return false;
        FPos += octets;
        return true;
    }
    size_t HexPos() const { return 2 * FPos; }

private:
    std::string_view FHex;
    size_t FSize;
    size_t FPos = 0;
};

// UTF-16 units to cp1251, up to the first unit 0000; a surrogate pair is one character
// outside the code page.
void AppendUnits(const char16_t* units, size_t count, std::string& text) {
    for (size_t i = 0; i < count && units[i] != 0; ++i) {
        char16_t u = units[i];
        bool pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
                    units[i + 1] <= 0xDFFF;
        if (pair)
            ++i;
        text += pair ? Cp1251Default : Cp1251OfUnit(u);
    }
}

// The originator as the line carries it: d semi-octets, pairwise swapped, filler not taken.
void AppendSwappedDigits(std::string_view hex, size_t pos, size_t count, std::string& digits) {
    for (size_t j = 0; j < count; ++j)
        digits += hex[pos + (j ^ 1)];
}

// The user data with the header octets skipped.
struct TUserData {
    uint8_t Octets[MaxOctets + 1] = {}; // one spare zero octet for the septet reader
    size_t Udl = 0;
    size_t HeaderOctets = 0; // UDHL + 1, or 0 without a header
};

void AppendSeptetText(const TUserData& ud, std::string& text) {
    // The text starts on the first septet boundary after the header: TS 23.040 9.2.3.24.
    size_t first = (ud.HeaderOctets * 8 + 6) / 7;
    uint8_t septets[SingleSeptetsMax];
    size_t count = 0;
    for (size_t k = first; k < ud.Udl; ++k) {
        size_t bit = 7 * k;
        unsigned pair = ud.Octets[bit / 8] | (ud.Octets[bit / 8 + 1] << 8);
        septets[count++] = static_cast<uint8_t>((pair >> (bit % 8)) & 0x7F);
    }
    AppendGsm7Text(septets, count, text);
}

void AppendUcs2Text(const TUserData& ud, std::string& text) {
    char16_t units[MaxOctets / 2];
    size_t count = (ud.Udl - ud.HeaderOctets) / 2;
    for (size_t i = 0; i < count; ++i) {
        size_t at = ud.HeaderOctets + 2 * i;
        units[i] = static_cast<char16_t>(ud.Octets[at] << 8 | ud.Octets[at + 1]);
    }
    AppendUnits(units, count, text);
}

void AppendHexText(const TUserData& ud, std::string& text) {
    for (size_t i = ud.HeaderOctets; i < ud.Udl; ++i) {
        text += HexDigits[ud.Octets[i] >> 4];
        text += HexDigits[ud.Octets[i] & 15];
    }
}

// Reads UDL and the user data; false when they do not fit the limits or the line.
bool ReadUserData(TOctetReader& in, TCoding coding, bool hasHeader, TUserData& ud) {
    uint8_t udl = 0;
    if (!in.Read(udl) || udl > (coding == TCoding::Gsm7 ? SingleSeptetsMax : MaxOctets))
        return false;
    ud.Udl = udl;
    size_t octets = coding == TCoding::Gsm7 ? (7 * ud.Udl + 7) / 8 : ud.Udl;
    for (size_t i = 0; i < octets; ++i)
        if (!in.Read(ud.Octets[i]))
            return false;
    if (!hasHeader)
        return true;
    if (octets == 0)
        return false;
    ud.HeaderOctets = ud.Octets[0] + size_t{1};
    size_t headerUnits = coding == TCoding::Gsm7 ? (ud.HeaderOctets * 8 + 6) / 7 : ud.HeaderOctets;
    return headerUnits <= ud.Udl;
}

bool IsHexLine(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return false;
    for (char c : hex)
        if (HexValue(c) == NotHex)
            return false;
    return true;
}

} // namespace

TDecodeStatus DecodeDeliver(std::string_view pduHex, TDeliver& out) {
    out.Telephone.clear(); // the strings keep their capacity for the next entry
    out.Text.clear();
    out.Dcs = 0;
    out.Type = 0;
    // Blanks after the hex text carry nothing; refusing them would delete a good message.
    while (!pduHex.empty() &&
           (pduHex.back() == ' ' || pduHex.back() == '\t' || pduHex.back() == '\r'))
        pduHex.remove_suffix(1);
    if (!IsHexLine(pduHex))
        return TDecodeStatus::Malformed;
    TOctetReader in(pduHex);
    uint8_t smscLength = 0, firstOctet = 0, digitCount = 0, pid = 0, dcs = 0;
    if (!in.Read(smscLength) || !in.Skip(smscLength) || !in.Read(firstOctet))
        return TDecodeStatus::Malformed;
    const uint8_t type = firstOctet & MtiMask;
    if (type == MtiSubmit || type == MtiStatusReport) {
        out.Type = type;
        return TDecodeStatus::NotDeliver;
    }
    if (!in.Read(digitCount) || digitCount > MaxPhoneDigits || !in.Skip(1))
        return TDecodeStatus::Malformed;
    size_t digitsAt = in.HexPos();
    if (!in.Skip((digitCount + 1) / 2) || !in.Read(pid) || !in.Read(dcs) || !in.Skip(SctsOctets))
        return TDecodeStatus::Malformed;
    TCoding coding = CodingOf(dcs);
    TUserData ud;
    if (!ReadUserData(in, coding, (firstOctet & UdhiBit) != 0, ud))
        return TDecodeStatus::Malformed;
    AppendSwappedDigits(pduHex, digitsAt, digitCount, out.Telephone);
    out.Dcs = dcs;
    switch (coding) {
    case TCoding::Gsm7:
        AppendSeptetText(ud, out.Text);
        break;
    case TCoding::Ucs2:
        AppendUcs2Text(ud, out.Text);
        break;
    case TCoding::Data8:
        AppendHexText(ud, out.Text);
        break;
    }
    return TDecodeStatus::Ok;
}

int HexDigitValue(char c) noexcept {
    uint8_t value = HexValue(c);
    return value == NotHex ? 0 : value;
}

std::string UCS2HexToText(std::string_view hex) {
    size_t count = hex.size() / 4;
    std::u16string units(count, u'\0');
    for (size_t i = 0; i < count; ++i)
        units[i] = static_cast<char16_t>(OctetAt(hex, 2 * i) << 8 | OctetAt(hex, 2 * i + 1));
    std::string text;
    text.reserve(count);
    AppendUnits(units.data(), count, text);
    return text;
}

} // namespace qvx
