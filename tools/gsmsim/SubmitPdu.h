// Reads the SMS-SUBMIT PDUs the driver hands over with at+cmgs (3GPP TS 23.040, 9.2.2.2):
// every field, the user data header, and the text in UTF-8 from the default alphabet or UCS2
// (3GPP TS 23.038). Written independently of the service's encoder, so a fault there shows
// here. Pure functions.
#pragma once

#include "gsmsim/SmsFields.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qvx {

struct TSubmitView {
    std::string Error; // empty when the PDU is well formed
    uint8_t FirstOctet = 0;
    bool RejectDuplicates = false;
    bool StatusReportRequest = false;
    bool HasUdh = false;
    int32_t ValidityFormat = 0; // TP-VPF: 0 none, 2 relative, 1 enhanced, 3 absolute
    std::string ValidityHex;
    uint8_t MessageRef = 0;
    std::string Destination; // digits as sent, without a plus sign
    uint8_t DestinationType = 0;
    uint8_t Pid = 0;
    uint8_t Dcs = 0;
    TSmsCoding Coding = TSmsCoding::Gsm7;
    int32_t MessageClass = -1; // 0 is the flash message
    bool Compressed = false;
    int32_t Udl = 0; // septets for the default alphabet, octets otherwise
    std::string UdhHex;
    int32_t ConcatRef = -1; // -1 without a concatenation header
    int32_t ConcatTotal = 0;
    int32_t ConcatSeq = 0;
    std::string Text; // UTF-8; 8-bit data as hex
};

// hex: the PDU as sent, SMS centre address included, without the Ctrl-Z.
TSubmitView DecodeSubmitPdu(std::string_view hex);

// One line for people: "SMS to 12345 [UCS2, part 1/2]: text", with CR and LF shown as \r, \n.
std::string DescribeSubmit(const TSubmitView& view);

} // namespace qvx
