// Text for an operator's terminal: control bytes from the INI file, the database, the terminal
// or a log must not drive the terminal, so they are shown as <XX>.
#pragma once

#include "infra/Hex.h"
#include "infra/LogFile.h"

#include <string>

namespace qvx {

inline std::string Printable(const std::string& line) {
    std::string text;
    text.reserve(line.size());
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (!IsControlByte(byte)) {
            text += c;
            continue;
        }
        text += '<';
        text += HexDigits[byte >> 4];
        text += HexDigits[byte & 0x0F];
        text += '>';
    }
    return text;
}

} // namespace qvx
