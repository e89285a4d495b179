// SMS-SUBMIT encoding (3GPP TS 23.040 9.2.2.2): one PDU for a text that fits one SMS, a
// concatenated series (TS 23.040 9.2.3.24.1) for a longer one.
#include "terminal/GsmAlphabet.h"
#include "terminal/Pdu.h"

namespace qvx {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr uint8_t FirstOctetSingle = 0x11;  // SMS-SUBMIT, relative validity period
constexpr uint8_t FirstOctetWithUdh = 0x51; // the same with TP-UDHI: user data has a header
constexpr uint8_t DcsUcs2 = 0x08;
constexpr uint8_t DcsFlash = 0xF0; // default alphabet, class 0: shown at once
constexpr uint8_t DcsDefault = 0x00;
constexpr size_t UdhOctets = 6;         // 05 00 03 ref total seq
constexpr size_t UdhSeptets = 7;        // the header and one fill bit
constexpr char16_t Unassigned = 0xFFFD; // Utf16OfCp1251 of the byte without a character
constexpr size_t PduHexReserve = 2 * (16 + 140);

void AppendOctet(std::string& hex, uint8_t octet) {
    hex += HexDigits[octet >> 4];
    hex += HexDigits[octet & 15];
}

// What every part of one message shares, and where the parts stand.
struct TMessage {
    std::string_view Digits;
    uint8_t Dcs = 0;
    uint8_t Ref = 0;
    size_t Total = 1;
};

// Fields up to TP-VP; a part of a concatenated message differs only in TP-UDHI.
void AppendHead(std::string& hex, const TMessage& m) {
    hex += "00"; // no SMSC address: the terminal takes the one on the SIM
    AppendOctet(hex, m.Total > 1 ? FirstOctetWithUdh : FirstOctetSingle);
    hex += "00"; // TP-MR, assigned by the terminal
    AppendOctet(hex, static_cast<uint8_t>(m.Digits.size()));
    hex += "91"; // international number, ISDN numbering plan
    for (size_t i = 0; i < m.Digits.size(); i += 2) {
        hex += i + 1 < m.Digits.size() ? m.Digits[i + 1] : 'F';
        hex += m.Digits[i];
    }
    hex += "00"; // TP-PID
    AppendOctet(hex, m.Dcs);
    hex += "C4"; // validity: (196 - 166) days
}

void AppendUdh(std::string& hex, const TMessage& m, size_t seq) {
    hex += "050003";
    AppendOctet(hex, m.Ref);
    AppendOctet(hex, static_cast<uint8_t>(m.Total));
    AppendOctet(hex, static_cast<uint8_t>(seq));
}

TSubmitPdu& NewPdu(std::vector<TSubmitPdu>& parts) {
    TSubmitPdu& pdu = parts.emplace_back();
    pdu.Hex.reserve(PduHexReserve);
    return pdu;
}

void Finish(TSubmitPdu& pdu) {
    pdu.CommandLength = static_cast<int32_t>(pdu.Hex.size() / 2 - 1);
}

// Septets written least significant bit first, each right after the previous one
// (TS 23.038 6.1.2.1); fillBits skips the bits that align text after a header.
class TSeptetPacker {
public:
    TSeptetPacker(std::string& hex, int fillBits) : FHex(hex), FCount(fillBits) {}
    void Put(uint8_t septet) {
        FBits |= static_cast<uint32_t>(septet) << FCount;
        FCount += 7;
        if (FCount >= 8) {
            AppendOctet(FHex, static_cast<uint8_t>(FBits));
            FBits >>= 8;
            FCount -= 8;
        }
    }
    void Flush() {
        if (FCount > 0)
            AppendOctet(FHex, static_cast<uint8_t>(FBits));
    }

private:
    std::string& FHex;
    uint32_t FBits = 0;
    int FCount;
};

// One 7-bit PDU of the text bytes [begin, end), which need the given number of septets.
void Append7BitPart(std::vector<TSubmitPdu>& parts, const TMessage& m, std::string_view text,
                    size_t septets, size_t seq) {
    const TGsm7Char* table = GsmTables().FromCp1251;
    TSubmitPdu& pdu = NewPdu(parts);
    AppendHead(pdu.Hex, m);
    bool concatenated = m.Total > 1;
    AppendOctet(pdu.Hex, static_cast<uint8_t>(septets + (concatenated ? UdhSeptets : 0)));
    if (concatenated)
        AppendUdh(pdu.Hex, m, seq);
    TSeptetPacker packer(pdu.Hex, concatenated ? 1 : 0);
    for (unsigned char byte : text) {
        const TGsm7Char& c = table[byte];
        if (c.Septets == 2)
            packer.Put(Gsm7Escape);
        packer.Put(c.Septet);
    }
    packer.Flush();
    Finish(pdu);
}

TEncodeStatus Encode7Bit(const TMessage& message, std::string_view text, size_t septets,
                         std::vector<TSubmitPdu>& parts) {
    TMessage m = message;
    if (septets <= SingleSeptetsMax) {
        Append7BitPart(parts, m, text, septets, 1);
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
    return TEncodeStatus::Ok;
}

// Every cp1251 character is one UTF-16 unit of the basic plane, written high octet first.
void AppendUcs2Part(std::vector<TSubmitPdu>& parts, const TMessage& m, std::string_view text,
                    size_t seq) {
    const char16_t* units = GsmTables().Utf16OfCp1251;
    TSubmitPdu& pdu = NewPdu(parts);
    AppendHead(pdu.Hex, m);
    bool concatenated = m.Total > 1;
    AppendOctet(pdu.Hex, static_cast<uint8_t>(2 * text.size() + (concatenated ? UdhOctets : 0)));
    if (concatenated)
        AppendUdh(pdu.Hex, m, seq);
    for (unsigned char byte : text) {
        char16_t unit = units[byte];
        AppendOctet(pdu.Hex, static_cast<uint8_t>(unit >> 8));
        AppendOctet(pdu.Hex, static_cast<uint8_t>(unit));
    }
    Finish(pdu);
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
        return TEncodeStatus::Ok;
    }
    m.Total = (text.size() + PartUcs2Max - 1) / PartUcs2Max;
    if (m.Total > MaxParts)
        return TEncodeStatus::TooLong;
    for (size_t p = 0; p < m.Total; ++p)
        AppendUcs2Part(parts, m, text.substr(p * PartUcs2Max, PartUcs2Max), p + 1);
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

TEncodeStatus EncodeSubmit(std::string_view digits, std::string_view text, bool flash,
                           uint8_t concatRef, std::vector<TSubmitPdu>& parts) {
    parts.clear();
    if (!IsDialable(digits))
        return TEncodeStatus::EmptyPhone;
    if (text.empty())
        return TEncodeStatus::EmptyText;
    TMessage m;
    m.Digits = digits;
    m.Ref = concatRef;
    TEncodeStatus status;
    if (size_t septets = SeptetsOf(text); septets != 0) {
        m.Dcs = flash ? DcsFlash : DcsDefault;
        status = Encode7Bit(m, text, septets, parts);
    } else {
        status = EncodeUcs2(m, text, parts);
    }
    if (status != TEncodeStatus::Ok)
        parts.clear();
    return status;
}

} // namespace qvx
