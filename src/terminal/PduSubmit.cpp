// SMS-SUBMIT encoding (3GPP TS 23.040 9.2.2.2): one PDU for a text that fits one SMS, a
// concatenated series (TS 23.040 9.2.3.24.1) for a longer one.
#include "infra/Hex.h"
#include "terminal/GsmAlphabet.h"
#include "terminal/Pdu.h"

namespace qvx {

namespace {

constexpr uint8_t FirstOctetSingle = 0x11;  // SMS-SUBMIT, relative validity period
constexpr uint8_t FirstOctetWithUdh = 0x51; // the same with TP-UDHI: user data has a header
constexpr uint8_t DcsUcs2 = 0x08;
constexpr uint8_t DcsFlash = 0xF0; // default alphabet, class 0: shown at once
constexpr uint8_t DcsDefault = 0x00;
constexpr size_t UdhOctets = 6;         // 05 00 03 ref total seq
constexpr size_t UdhSeptets = 7;        // the header and one fill bit
constexpr char16_t Unassigned = 0xFFFD; // Utf16OfCp1251 of the byte without a character
// The longest PDU: 11 octets of fields with a 20-digit number, 140 octets of user data.
constexpr size_t PduHexMax = 2 * (11 + 10 + 140);

// Hex text of one PDU built in place, so that an encode costs no allocation once the caller's
// vector holds strings with enough capacity.
class THexWriter {
public:
    void Octet(uint8_t octet) {
        FBuf[FLen++] = HexDigits[octet >> 4];
        FBuf[FLen++] = HexDigits[octet & 15];
    }
    void Chars(char high, char low) {
        FBuf[FLen++] = high;
        FBuf[FLen++] = low;
    }
    std::string_view Text() const { return {FBuf, FLen}; }

private:
    char FBuf[PduHexMax];
    size_t FLen = 0;
};

// What every part of one message shares, and where the parts stand.
struct TMessage {
    std::string_view Digits;
    uint8_t Dcs = 0;
    uint8_t Ref = 0;
    size_t Total = 1;
};

// Fields up to TP-VP; a part of a concatenated message differs only in TP-UDHI.
void WriteHead(THexWriter& hex, const TMessage& m) {
    hex.Octet(0); // no SMSC address: the terminal takes the one on the SIM
    hex.Octet(m.Total > 1 ? FirstOctetWithUdh : FirstOctetSingle);
    hex.Octet(0); // TP-MR, assigned by the terminal
    hex.Octet(static_cast<uint8_t>(m.Digits.size()));
    hex.Octet(0x91); // international number, ISDN numbering plan
    for (size_t i = 0; i < m.Digits.size(); i += 2)
        hex.Chars(i + 1 < m.Digits.size() ? m.Digits[i + 1] : 'F', m.Digits[i]);
    hex.Octet(0); // TP-PID
    hex.Octet(m.Dcs);
    hex.Octet(0xC4); // validity: (196 - 166) days
}

void WriteUdh(THexWriter& hex, const TMessage& m, size_t seq) {
    hex.Octet(UdhOctets - 1);
    hex.Octet(0x00); // concatenation with an 8-bit reference
    hex.Octet(3);
    hex.Octet(m.Ref);
    hex.Octet(static_cast<uint8_t>(m.Total));
    hex.Octet(static_cast<uint8_t>(seq));
}

// Stores part seq (from 1), reusing the string of an earlier call when there is one.
void Store(std::vector<TSubmitPdu>& parts, size_t seq, const THexWriter& hex) {
    if (parts.size() < seq)
        parts.emplace_back();
    TSubmitPdu& pdu = parts[seq - 1];
    pdu.Hex.assign(hex.Text());
    pdu.CommandLength = static_cast<int32_t>(pdu.Hex.size() / 2 - 1);
}

// Septets written least significant bit first, each right after the previous one
// (TS 23.038 6.1.2.1); fillBits skips the bits that align text after a header.
class TSeptetPacker {
public:
    TSeptetPacker(THexWriter& hex, int fillBits) : FHex(hex), FCount(fillBits) {}
    void Put(uint8_t septet) {
        FBits |= static_cast<uint32_t>(septet) << FCount;
        FCount += 7;
        if (FCount >= 8) {
            FHex.Octet(static_cast<uint8_t>(FBits));
            FBits >>= 8;
            FCount -= 8;
        }
    }
    void Flush() {
        if (FCount > 0)
            FHex.Octet(static_cast<uint8_t>(FBits));
    }

private:
    THexWriter& FHex;
    uint32_t FBits = 0;
    int FCount;
};

// One 7-bit PDU of the text bytes [begin, end), which need the given number of septets.
void Append7BitPart(std::vector<TSubmitPdu>& parts, const TMessage& m, std::string_view text,
                    size_t septets, size_t seq) {
    const TGsm7Char* table = GsmTables().FromCp1251;
    THexWriter hex;
    WriteHead(hex, m);
    bool concatenated = m.Total > 1;
    hex.Octet(static_cast<uint8_t>(septets + (concatenated ? UdhSeptets : 0)));
    if (concatenated)
        WriteUdh(hex, m, seq);
    TSeptetPacker packer(hex, concatenated ? 1 : 0);
    for (unsigned char byte : text) {
        const TGsm7Char& c = table[byte];
        if (c.Septets == 2)
            packer.Put(Gsm7Escape);
        packer.Put(c.Septet);
    }
    packer.Flush();
    Store(parts, seq, hex);
}

TEncodeStatus Encode7Bit(const TMessage& message, std::string_view text, size_t septets,
                         std::vector<TSubmitPdu>& parts) {
    TMessage m = message;
    if (septets <= SingleSeptetsMax) {
        Append7BitPart(parts, m, text, septets, 1);
        parts.resize(1);
        return TEncodeStatus::Ok;
    }
    // Cut before the character that would overflow a part, so an escape always stays
    // with its extension character.
    const TGsm7Char* table = GsmTables().FromCp1251;
    std::vector<size_t> cuts{0};
    std::vector<size_t> sizes;
    size_t inPart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t n = table[static_cast<unsigned char>(text[i])].Septets;
        if (inPart + n > PartSeptetsMax) {
            cuts.push_back(i);
            sizes.push_back(inPart);
            inPart = 0;
        }
        inPart += n;
    }
    sizes.push_back(inPart);
    cuts.push_back(text.size());
    if (sizes.size() > MaxParts)
        return TEncodeStatus::TooLong;
    m.Total = sizes.size();
    for (size_t p = 0; p < sizes.size(); ++p)
        Append7BitPart(parts, m, text.substr(cuts[p], cuts[p + 1] - cuts[p]), sizes[p], p + 1);
    parts.resize(m.Total);
    return TEncodeStatus::Ok;
}

// Every cp1251 character is one UTF-16 unit of the basic plane, written high octet first.
void AppendUcs2Part(std::vector<TSubmitPdu>& parts, const TMessage& m, std::string_view text,
                    size_t seq) {
    const char16_t* units = GsmTables().Utf16OfCp1251;
    THexWriter hex;
    WriteHead(hex, m);
    bool concatenated = m.Total > 1;
    hex.Octet(static_cast<uint8_t>(2 * text.size() + (concatenated ? UdhOctets : 0)));
    if (concatenated)
        WriteUdh(hex, m, seq);
    for (unsigned char byte : text) {
        char16_t unit = units[byte];
        hex.Octet(static_cast<uint8_t>(unit >> 8));
        hex.Octet(static_cast<uint8_t>(unit));
    }
    Store(parts, seq, hex);
}

TEncodeStatus EncodeUcs2(const TMessage& message, std::string_view text,
                         std::vector<TSubmitPdu>& parts) {
    const char16_t* units = GsmTables().Utf16OfCp1251;
    for (unsigned char byte : text)
        if (units[byte] == Unassigned)
            return TEncodeStatus::Unicode;
    TMessage m = message;
    m.Dcs = DcsUcs2;
    if (text.size() <= SingleUcs2Max) {
        AppendUcs2Part(parts, m, text, 1);
        parts.resize(1);
        return TEncodeStatus::Ok;
    }
    m.Total = (text.size() + PartUcs2Max - 1) / PartUcs2Max;
    if (m.Total > MaxParts)
        return TEncodeStatus::TooLong;
    for (size_t p = 0; p < m.Total; ++p)
        AppendUcs2Part(parts, m, text.substr(p * PartUcs2Max, PartUcs2Max), p + 1);
    parts.resize(m.Total);
    return TEncodeStatus::Ok;
}

bool IsDialable(std::string_view digits) {
    if (digits.empty() || digits.size() > MaxPhoneDigits)
        return false;
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Septets the text needs in 7-bit, or 0 when a character has no place in the alphabet.
size_t SeptetsOf(std::string_view text) {
    const TGsm7Char* table = GsmTables().FromCp1251;
    size_t septets = 0;
    for (unsigned char byte : text) {
        size_t n = table[byte].Septets;
        if (n == 0)
            return 0;
        septets += n;
    }
    return septets;
}

} // namespace

std::string DigitsOf(std::string_view number) {
    std::string digits;
    for (const char c : number)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

TEncodeStatus EncodeSubmit(std::string_view digits, std::string_view text, bool flash,
                           uint8_t concatRef, std::vector<TSubmitPdu>& parts) {
    TEncodeStatus status = TEncodeStatus::Ok;
    if (!IsDialable(digits))
        status = TEncodeStatus::EmptyPhone;
    else if (text.empty())
        status = TEncodeStatus::EmptyText;
    if (status != TEncodeStatus::Ok) {
        parts.clear();
        return status;
    }
    TMessage m;
    m.Digits = digits;
    m.Ref = concatRef;
    if (size_t septets = SeptetsOf(text); septets != 0) {
        m.Dcs = flash ? DcsFlash : DcsDefault;
        status = Encode7Bit(m, text, septets, parts);
    } else {
        status = EncodeUcs2(m, text, parts);
    }
    if (status != TEncodeStatus::Ok)
        parts.clear(); // nothing half-built reaches the caller
    return status;
}

// The reference follows the fields up to TP-UDL (octets 0-4, the number, TP-PID, TP-DCS, TP-VP,
// TP-UDL) and the header's first three octets 05 00 03.
void StampConcatRef(std::vector<TSubmitPdu>& parts, uint8_t ref) noexcept {
    for (TSubmitPdu& part : parts) {
        std::string& hex = part.Hex;
        if (hex.size() < 8 || HexValue(hex[2]) != (FirstOctetWithUdh >> 4) ||
            HexValue(hex[3]) != (FirstOctetWithUdh & 15))
            continue;
        const size_t digits = HexValue(hex[6]) * 16u + HexValue(hex[7]);
        const size_t at = 2 * (12 + (digits + 1) / 2);
        if (at + 2 > hex.size())
            continue;
        hex[at] = HexDigits[ref >> 4];
        hex[at + 1] = HexDigits[ref & 15];
    }
}

} // namespace qvx
