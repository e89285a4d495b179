#include "gsmsim/Hex.h"

namespace qvx {

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string OctetsToHex(const std::vector<uint8_t>& octets) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(octets.size() * 2);
    for (uint8_t octet : octets) {
        hex += Digits[octet >> 4];
        hex += Digits[octet & 0x0F];
    }
    return hex;
}

bool HexToOctets(std::string_view hex, std::vector<uint8_t>& octets) {
    octets.clear();
    if (hex.size() % 2 != 0)
        return false;
    octets.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = DigitValue(hex[i]);
        int low = DigitValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            octets.clear();
            return false;
        }
        octets.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

} // namespace qvx
