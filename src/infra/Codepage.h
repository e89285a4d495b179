// Conversion between Windows-1251, the code page of every text inside the service, and the
// encodings at its edges: UTF-8 (database, terminal output of tools) and UTF-16 (UCS2 PDUs).
// Pure functions, safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// A character that Windows-1251 cannot hold becomes this byte.
constexpr char Cp1251Default = '?';

// Unicode code point of one Windows-1251 byte; 0xFFFD for 0x98, the one unassigned byte.
char32_t Cp1251ToCodePoint(unsigned char byte) noexcept;
// Windows-1251 byte for a code point, or Cp1251Default when the code page has none.
char CodePointToCp1251(char32_t codePoint) noexcept;
// True when the code point has a place in Windows-1251.
bool HasCp1251(char32_t codePoint) noexcept;

std::string Cp1251ToUtf8(std::string_view text);
// Malformed UTF-8 sequences and characters outside the code page become Cp1251Default.
std::string Utf8ToCp1251(std::string_view text);

// One UTF-16 unit per byte (every Windows-1251 character lies in the basic plane).
std::u16string Cp1251ToUtf16(std::string_view text);
// Surrogates and characters outside the code page become Cp1251Default.
std::string Utf16ToCp1251(std::u16string_view text);

} // namespace qvx
