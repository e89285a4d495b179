#include "gsmsim/SmsFields.h"

#include "gsmsim/GsmAlphabet.h"
#include "gsmsim/Utf8.h"

namespace qvx {

namespace {

constexpr size_t MaxAddressDigits = 20;
constexpr size_t MaxAlphanumericChars = 11;
constexpr char SemiOctetDigits[] = "0123456789*#abc";

int SemiOctetValue(char c) {
    for (int i = 0; i < 15; ++i)
        if (SemiOctetDigits[i] == c)
            return i;
    return -1;
}

// Digits in swapped semi-octets, filler F after an odd count.
std::optional<std::vector<uint8_t>> PackDigits(std::string_view digits) {
    std::vector<uint8_t> octets;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int low = SemiOctetValue(digits[i]);
        int high = i + 1 < digits.size() ? SemiOctetValue(digits[i + 1]) : 0x0F;
        if (low < 0 || high < 0)
            return std::nullopt;
        octets.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return octets;
}

bool IsDialString(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (SemiOctetValue(c) < 0 || c == 'a' || c == 'b' || c == 'c')
            return false;
    return true;
}

std::optional<std::vector<uint8_t>> EncodeAlphanumeric(std::string_view name) {
    std::u32string text = Utf8ToCodePoints(name);
    auto septets = EncodeGsm7(text);
    if (!septets || septets->empty() || septets->size() > MaxAlphanumericChars)
        return std::nullopt;
    std::vector<uint8_t> packed = PackSeptets({}, *septets);
    std::vector<uint8_t> field{static_cast<uint8_t>((septets->size() * 7 + 3) / 4),
                               AddressAlphanumeric};
    field.insert(field.end(), packed.begin(), packed.end());
    return field;
}

} // namespace

TDcsInfo DecodeDcs(uint8_t dcs) {
    TDcsInfo info;
    uint8_t group = dcs >> 4;
    if (group <= 0x07) { // general data coding, possibly marked for automatic deletion
        info.Compressed = (dcs & 0x20) != 0;
        if (dcs & 0x10)
            info.MessageClass = dcs & 0x03;
        uint8_t alphabet = (dcs >> 2) & 0x03;
        info.Coding = alphabet == 1   ? TSmsCoding::Data8
                      : alphabet == 2 ? TSmsCoding::Ucs2
                                      : TSmsCoding::Gsm7;
    } else if (group == 0x0E) { // message waiting indication, UCS2
        info.Coding = TSmsCoding::Ucs2;
    } else if (group == 0x0F) { // data coding and message class
        info.Coding = (dcs & 0x04) ? TSmsCoding::Data8 : TSmsCoding::Gsm7;
        info.MessageClass = dcs & 0x03;
    }
    return info;
}

const char* CodingName(TSmsCoding coding) {
    switch (coding) {
    case TSmsCoding::Gsm7:
        return "7-bit";
    case TSmsCoding::Data8:
        return "8-bit";
    case TSmsCoding::Ucs2:
        return "UCS2";
    }
    return "?";
}

std::optional<std::vector<uint8_t>> EncodeAddress(std::string_view number) {
    bool international = !number.empty() && number.front() == '+';
    std::string_view digits = international ? number.substr(1) : number;
    if (!IsDialString(digits))
        return international ? std::nullopt : EncodeAlphanumeric(number);
    if (digits.size() > MaxAddressDigits)
        return std::nullopt;
    auto packed = PackDigits(digits);
    if (!packed)
        return std::nullopt;
    std::vector<uint8_t> field{static_cast<uint8_t>(digits.size()),
                               international ? AddressInternational : AddressUnknown};
    field.insert(field.end(), packed->begin(), packed->end());
    return field;
}

std::optional<std::vector<uint8_t>> EncodeSmscAddress(std::string_view number) {
    if (number.empty())
        return std::vector<uint8_t>{0};
    auto field = EncodeAddress(number);
    if (!field || (*field)[1] == AddressAlphanumeric)
        return std::nullopt;
    (*field)[0] = static_cast<uint8_t>(field->size() - 1); // octets of type and digits
    return field;
}

bool DecodeAddress(const std::vector<uint8_t>& octets, size_t& pos, std::string& value,
                   uint8_t& type) {
    value.clear();
    if (pos + 2 > octets.size())
        return false;
    size_t semiOctets = octets[pos];
    type = octets[pos + 1];
    size_t valueOctets = (semiOctets + 1) / 2;
    if (pos + 2 + valueOctets > octets.size())
        return false;
    std::vector<uint8_t> field(octets.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                               octets.begin() + static_cast<std::ptrdiff_t>(pos + 2 + valueOctets));
    pos += 2 + valueOctets;
    if ((type & 0x70) == 0x50) { // alphanumeric: default-alphabet septets
        value = CodePointsToUtf8(DecodeGsm7(UnpackSeptets(field, 0, semiOctets * 4 / 7)));
        return true;
    }
    for (size_t i = 0; i < semiOctets; ++i) {
        unsigned nibble = i % 2 == 0 ? field[i / 2] & 0x0F : field[i / 2] >> 4;
        value += nibble < 15 ? SemiOctetDigits[nibble] : 'F';
    }
    return true;
}

} // namespace qvx
