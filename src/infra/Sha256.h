// SHA-256 of FIPS 180-4, for the one secret the service must recognise without keeping it: a
// PIN the SIM refused. A pure function, used by any thread.
#pragma once

#include <string>
#include <string_view>

namespace qvx {

// The digest of data as 64 upper-case hex digits.
std::string Sha256Hex(std::string_view data);

} // namespace qvx
