// The GSM 7-bit default alphabet with its extension table (3GPP TS 23.038) and the packing of
// septets into octets behind an optional user data header (3GPP TS 23.040). Written
// independently of the service's own codec so that the simulator checks it. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// Septet that switches the next septet to the extension table.
constexpr uint8_t Gsm7Escape = 0x1B;

// Septets of a text (escape pairs for the extension characters), or nothing when a character
// has no place in the default alphabet or its extension.
std::optional<std::vector<uint8_t>> EncodeGsm7(std::u32string_view text);
// Code points of septets; an escape before an undefined extension code gives the default
// character of that code, and a trailing escape gives a blank, as the receiving rules say.
std::u32string DecodeGsm7(const std::vector<uint8_t>& septets);

// Septets the user data header of headerOctets octets takes, fill bits included.
size_t HeaderSeptets(size_t headerOctets);
// User data octets: the header, fill bits up to the next septet boundary, then the septets,
// each least significant bit first.
std::vector<uint8_t> PackSeptets(const std::vector<uint8_t>& header,
                                 const std::vector<uint8_t>& septets);
// count septets starting at septet firstSeptet of the octets; septets beyond the octets are
// left out.
std::vector<uint8_t> UnpackSeptets(const std::vector<uint8_t>& octets, size_t firstSeptet,
                                   size_t count);

} // namespace qvx
