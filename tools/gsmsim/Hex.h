// Hex text of octets, the form in which PDUs travel over the AT line. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// Upper-case hex, two digits an octet.
std::string OctetsToHex(const std::vector<uint8_t>& octets);
// Digits of either case; false (and octets cleared) on an odd length or any other character.
bool HexToOctets(std::string_view hex, std::vector<uint8_t>& octets);

} // namespace qvx
