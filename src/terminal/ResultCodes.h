// Terminal result codes: why the last terminal operation failed, returned by the AT session
// and turned into words for the terminal log.
#pragma once

#include <cstdint>
#include <string>

namespace qvx {

enum class TGsmResult : int32_t {
    OK = 0,
    Unknown = 1,
    Unicode = 2,
    ATCommand = 3,
    WriteFrame = 4,
    PortNotReady = 5,
    PortIO = 6,
    Timeout = 7,
    NoSMS = 8,
    ReplyTooLong = 9,
    EmptyPhone = 10,
    EmptyText = 11,
    PinRejected = 12,
    PinMissing = 13,
    NoSMSC = 14,
};

// The code's fixed text (cp1251); "Ошибка=<code>" for a value outside 0..14.
std::string ResultText(int32_t code);

} // namespace qvx
