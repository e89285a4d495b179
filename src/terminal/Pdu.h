// SMS PDUs of 3GPP TS 23.040 with the alphabets of TS 23.038: the SMS-SUBMIT sent with
// at+cmgs and the SMS-DELIVER read from an at+cmgl listing. Pure functions on bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// Longest destination number accepted, in digits (TS 23.040 address field).
constexpr size_t MaxPhoneDigits = 20;

// User data limits of TS 23.040: one SMS carries 160 septets or 70 UCS2 characters; a part of
// a concatenated message loses 7 septets / 6 octets to its header (05 00 03 ref total seq).
constexpr size_t SingleSeptetsMax = 160;
constexpr size_t SingleUcs2Max = 70;
constexpr size_t PartSeptetsMax = 153;
constexpr size_t PartUcs2Max = 67;
// The header counts parts in one octet.
constexpr size_t MaxParts = 255;

// The digits of a number as the terminal submits them: every other character, '+' included,
// is dropped.
std::string DigitsOf(std::string_view number);

// One SMS-SUBMIT ready for the terminal.
struct TSubmitPdu {
    std::string Hex; // upper-case hex octets, starting with the SMSC length "00"; no Ctrl-Z
    int32_t CommandLength = 0; // octets after the SMSC field: the number for at+cmgs
};

// A message ready for the terminal: the number and the text as they go out (the text
// transliterated when asked), and their PDUs. The reference of concatenated parts is stamped in
// at each submission (StampConcatRef), so that every attempt has one of its own.
struct TPreparedSms {
    std::string Digits;
    std::string Text;
    std::vector<TSubmitPdu> Parts;
};

// EmptyPhone: no digits, more than MaxPhoneDigits, or a character that is not a digit.
// Unicode: the text holds cp1251 byte 0x98, which stands for no character.
// TooLong: the text needs more than MaxParts parts (over 39015 septets or 17085 UCS2
// characters); it can never be sent, so the caller drops it like an empty text.
enum class TEncodeStatus { Ok, EmptyPhone, EmptyText, Unicode, TooLong };

// Builds the PDUs of one message: on Ok, parts holds exactly the PDUs in order (its strings are
// reused); otherwise it is empty. digits: the destination's digits only (the caller strips
// everything else); text: Windows-1251. A text that fits one SMS gives one PDU (first octet
// 11); a longer one gives concatenated parts (first octet 51, header 05 00 03 ref total seq),
// never splitting an escape from its extension character. Texts that the GSM default alphabet
// and its extension can carry go as 7-bit (DCS F0 when flash, else 00); any other text goes as
// UCS2 (DCS 08).
TEncodeStatus EncodeSubmit(std::string_view digits, std::string_view text, bool flash,
                           uint8_t concatRef, std::vector<TSubmitPdu>& parts);

// Sets the reference octet of each part's concatenation header to ref, as EncodeSubmit would
// have written it; a PDU without that header is left as it is.
void StampConcatRef(std::vector<TSubmitPdu>& parts, uint8_t ref) noexcept;

// One SMS-DELIVER (or any entry of a PDU listing) decoded.
struct TDeliver {
    std::string Telephone; // originator digits as the PDU carries them, no '+'
    std::string Text;      // Windows-1251; 8-bit data as hex text
    int32_t Dcs = 0;       // 0..255
    int32_t Type = 0;      // TP-MTI of the first octet: 0 SMS-DELIVER, 1 SUBMIT, 2 STATUS-REPORT
};

// NotDeliver: a well-formed start whose TP-MTI names a stored outgoing message (1) or a status
// report (2), which is no received text; out holds only Type.
enum class TDecodeStatus { Ok, Malformed, NotDeliver };

// Decodes one PDU line of hex text (either case; trailing blanks ignored). Every field is
// checked against the line's real length; an odd length, a character that is not a hex digit,
// a number of more than 20 digits, a UDL above 160 septets / 140 octets or a line shorter than
// its fields is Malformed, and out is left empty. The data coding scheme chooses 7-bit, UCS2 or
// 8-bit data (shown as hex, as are compressed and reserved codings); a user data header is
// skipped. Septet 0 is '@'; UCS2 ends at the first unit 0000.
TDecodeStatus DecodeDeliver(std::string_view pduHex, TDeliver& out);

// Hex digit value: 0..9, A..F in either case, 0 for any other character.
int HexDigitValue(char c) noexcept;

// A USSD string given as hex digits of big-endian UCS2, to Windows-1251. The length is cut to
// a multiple of four; the text ends at the first unit 0000; characters outside the code page
// become '?'.
std::string UCS2HexToText(std::string_view hex);

// The GSM 7-bit default alphabet with its extension table (escape 0x1B).
// Appends the septets of one Windows-1251 byte; false when the alphabet has no place for it.
bool Cp1251ToGsm7(unsigned char byte, std::vector<uint8_t>& septets);
// Windows-1251 text of septets; a character cp1251 lacks becomes '?'. An escape before a septet
// the extension table does not define gives that septet's default character; a final escape,
// a blank.
std::string Gsm7ToCp1251(const std::vector<uint8_t>& septets);

} // namespace qvx
