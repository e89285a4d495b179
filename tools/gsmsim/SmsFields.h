// Fields shared by the PDUs the simulator builds and reads: addresses in semi-octets and the
// data coding scheme (3GPP TS 23.040, 9.1.2.5 and 9.2.3; 3GPP TS 23.038, 4). Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

enum class TSmsCoding : int32_t { Gsm7 = 0, Data8 = 1, Ucs2 = 2 };

struct TDcsInfo {
    TSmsCoding Coding = TSmsCoding::Gsm7;
    int32_t MessageClass = -1; // 0..3, -1 when the scheme names none
    bool Compressed = false;
};

// Reserved codings are read as the default alphabet, as the receiving rules ask.
TDcsInfo DecodeDcs(uint8_t dcs);
const char* CodingName(TSmsCoding coding);

// Types of address: international and unknown numbering, and an alphanumeric sender.
constexpr uint8_t AddressInternational = 0x91;
constexpr uint8_t AddressUnknown = 0x81;
constexpr uint8_t AddressAlphanumeric = 0xD0;

// An originator or destination address: length in semi-octets, type, value. "+digits" is an
// international number, plain digits (with * and #) an unknown-type number, anything else an
// alphanumeric name of up to 11 default-alphabet characters. Nothing for an empty or overlong
// address.
std::optional<std::vector<uint8_t>> EncodeAddress(std::string_view number);
// An SMS centre address: length in octets (type included), type, digits; "00" when empty.
std::optional<std::vector<uint8_t>> EncodeSmscAddress(std::string_view number);

// Reads an address field at pos (length in semi-octets, type, value) and moves pos past it.
// False when the octets end inside it. Digits keep no plus sign; the type tells.
bool DecodeAddress(const std::vector<uint8_t>& octets, size_t& pos, std::string& value,
                   uint8_t& type);

} // namespace qvx
