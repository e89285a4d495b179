// Builds SMS-DELIVER PDUs (3GPP TS 23.040, 9.2.2.1), the form in which the terminal lists the
// messages on its SIM: the default alphabet when the text fits it, UCS2 otherwise, and
// concatenated parts with a user data header for a long text. Pure functions.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

struct TDeliverOptions {
    std::string SmscNumber = "+79037011111"; // empty: no centre address in the PDU
    bool Concatenate = true;                 // false: a text too long for one message fails
    uint8_t ConcatRef = 0;                   // reference shared by the parts of one text
    std::time_t Timestamp = 0;               // service centre time stamp; 0: now
};

// Hex PDUs, SMS centre address included, one per part; empty when the number cannot be an
// address, or the text needs more parts than allowed (or any at all without Concatenate).
std::vector<std::string> BuildDeliverPdus(std::string_view number, std::string_view utf8Text,
                                          const TDeliverOptions& options);

// The length the listing shows: octets after the SMS centre address; -1 when the hex is not
// a whole number of octets or ends inside that address.
int32_t TpduLength(std::string_view pduHex);

} // namespace qvx
