// The GSM 7-bit default alphabet of 3GPP TS 23.038 and its extension table, as lookup tables
// between Windows-1251 bytes and septets, plus the UTF-16 side of cp1251 for UCS2 user data.
// Built once on first use; pure and thread-safe after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvx {

// The septet that switches the next septet to the extension table.
constexpr uint8_t Gsm7Escape = 0x1B;

// How one Windows-1251 byte travels in 7-bit text.
struct TGsm7Char {
    uint8_t Septets = 0; // 0: no place in the alphabet; 1: Septet alone; 2: escape, then Septet
    uint8_t Septet = 0;
};

struct TGsmTables {
    TGsm7Char FromCp1251[256];
    char16_t Utf16OfCp1251[256]; // 0xFFFD for 0x98, the byte with no character
    char BaseToCp1251[128];      // '?' where cp1251 lacks the character
    char ExtensionToCp1251[128]; // 0 where the extension table has no character
    char Cp1251OfUnit[0x480];    // below U+0480 (ASCII, Latin-1, Cyrillic); '?' where none
};

// The tables, built on the first call.
const TGsmTables& GsmTables() noexcept;

// Appends the cp1251 text of count septets (see Gsm7ToCp1251).
void AppendGsm7Text(const uint8_t* septets, size_t count, std::string& text);

// cp1251 byte of one UTF-16 unit of the basic plane; '?' when the code page lacks it.
char Cp1251OfUnit(char16_t unit) noexcept;

} // namespace qvx
