// Fuzz target: an INI file of arbitrary bytes read with the configuration's keys. Every value
// must come back bounded and trimmed, and no byte sequence may crash or hang the reader.
#include "infra/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

constexpr const char* Keys[][2] = {{"Database", "Host"},
                                   {"Database", "Port"},
                                   {"Database", "DBName"},
                                   {"Database", "UserName"},
                                   {"Database", "Password"},
                                   {"GSMTerminal", "Device"},
                                   {"GSMTerminal", "BaudRate"},
                                   {"GSMTerminal", "StopBits"},
                                   {"GSMTerminal", "Parity"},
                                   {"GSMTerminal", "FlowControl"},
                                   {"GSMTerminal", "ModemTimeout"},
                                   {"GSMTerminal", "PIN"}};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const qvx::TIniFile ini = qvx::TIniFile::FromText(text);
    for (const auto& key : Keys) {
        const std::string value = ini.ReadString(key[0], key[1], "\x01");
        if (value.size() > qvx::TIniFile::ValueMax)
            __builtin_trap();
        if (value != "\x01" && !value.empty() && (IsBlank(value.front()) || IsBlank(value.back())))
            __builtin_trap();
        ini.ReadInteger(key[0], key[1], 7);
    }
    return 0;
}
