#include "gsmsim/SubmitPdu.h"

#include "gsmsim/GsmAlphabet.h"
#include "gsmsim/Hex.h"
#include "gsmsim/Utf8.h"

#include <vector>

namespace qvx {

namespace {

constexpr size_t MaxSeptets = 160;
constexpr size_t MaxUserOctets = 140;

// Reads the information elements of a user data header; the concatenation elements (8-bit
// and 16-bit reference) fill the Concat fields.
bool ReadHeader(const std::vector<uint8_t>& header, TSubmitView& view) {
    size_t pos = 0;
    while (pos < header.size()) {
        if (pos + 2 > header.size())
            return false;
        uint8_t id = header[pos];
        size_t length = header[pos + 1];
        if (pos + 2 + length > header.size())
            return false;
        const uint8_t* data = header.data() + pos + 2;
        if (id == 0x00 && length == 3) {
            view.ConcatRef = data[0];
            view.ConcatTotal = data[1];
            view.ConcatSeq = data[2];
        } else if (id == 0x08 && length == 4) {
            view.ConcatRef = data[0] << 8 | data[1];
            view.ConcatTotal = data[2];
            view.ConcatSeq = data[3];
        }
        pos += 2 + length;
    }
    return true;
}

std::string Ucs2Text(const std::vector<uint8_t>& octets, size_t first) {
    std::u32string text;
    for (size_t i = first; i + 1 < octets.size(); i += 2) {
        char32_t unit = static_cast<char32_t>(octets[i] << 8 | octets[i + 1]);
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 3 < octets.size()) {
            char32_t low = static_cast<char32_t>(octets[i + 2] << 8 | octets[i + 3]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                text += 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
                continue;
            }
        }
        text += (unit >= 0xD800 && unit <= 0xDFFF) ? ReplacementCharacter : unit;
    }
    return CodePointsToUtf8(text);
}

// The user data after TP-UDL: header, fill bits and text.
void ReadUserData(const std::vector<uint8_t>& userData, TSubmitView& view) {
    size_t headerOctets = 0;
    if (view.HasUdh) {
        if (userData.empty() || size_t{1} + userData[0] > userData.size()) {
            view.Error = "user data header longer than the user data";
            return;
        }
        headerOctets = size_t{1} + userData[0];
        std::vector<uint8_t> header(userData.begin() + 1,
                                    userData.begin() + static_cast<std::ptrdiff_t>(headerOctets));
        view.UdhHex = OctetsToHex(header);
        if (!ReadHeader(header, view)) {
            view.Error = "malformed user data header";
            return;
        }
    }
    if (view.Compressed) {
        view.Text = OctetsToHex(userData);
        return;
    }
    switch (view.Coding) {
    case TSmsCoding::Gsm7: {
        size_t firstSeptet = headerOctets ? HeaderSeptets(headerOctets) : 0;
        if (firstSeptet > static_cast<size_t>(view.Udl)) {
            view.Error = "TP-UDL shorter than the user data header";
            return;
        }
        auto septets = UnpackSeptets(userData, firstSeptet, view.Udl - firstSeptet);
        view.Text = CodePointsToUtf8(DecodeGsm7(septets));
        break;
    }
    case TSmsCoding::Ucs2:
        if ((userData.size() - headerOctets) % 2 != 0)
            view.Error = "odd number of UCS2 octets";
        view.Text = Ucs2Text(userData, headerOctets);
        break;
    case TSmsCoding::Data8:
        view.Text = OctetsToHex(std::vector<uint8_t>(
            userData.begin() + static_cast<std::ptrdiff_t>(headerOctets), userData.end()));
        break;
    }
}

// TP-VP by TP-VPF: none, one octet (relative) or seven octets (enhanced, absolute).
size_t ValidityOctets(int32_t format) {
    return format == 0 ? 0 : format == 2 ? 1 : 7;
}

bool ReadHeadFields(const std::vector<uint8_t>& pdu, size_t& pos, TSubmitView& view) {
    if (pos >= pdu.size())
        return false;
    view.FirstOctet = pdu[pos++];
    view.RejectDuplicates = (view.FirstOctet & 0x04) != 0;
    view.ValidityFormat = (view.FirstOctet >> 3) & 0x03;
    view.StatusReportRequest = (view.FirstOctet & 0x20) != 0;
    view.HasUdh = (view.FirstOctet & 0x40) != 0;
    if (pos >= pdu.size())
        return false;
    view.MessageRef = pdu[pos++];
    if (!DecodeAddress(pdu, pos, view.Destination, view.DestinationType))
        return false;
    size_t validity = ValidityOctets(view.ValidityFormat);
    if (pos + 2 + validity + 1 > pdu.size())
        return false;
    view.Pid = pdu[pos++];
    view.Dcs = pdu[pos++];
    view.ValidityHex = OctetsToHex(
        std::vector<uint8_t>(pdu.begin() + static_cast<std::ptrdiff_t>(pos),
                             pdu.begin() + static_cast<std::ptrdiff_t>(pos + validity)));
    pos += validity;
    view.Udl = pdu[pos++];
    return true;
}

} // namespace

TSubmitView DecodeSubmitPdu(std::string_view hex) {
    TSubmitView view;
    std::vector<uint8_t> pdu;
    if (!HexToOctets(hex, pdu) || pdu.empty()) {
        view.Error = "not a whole number of hex octets";
        return view;
    }
    size_t pos = size_t{1} + pdu[0]; // skip the SMS centre address
    if (!ReadHeadFields(pdu, pos, view)) {
        view.Error = "PDU ends inside its fields";
        return view;
    }
    if ((view.FirstOctet & 0x03) != 0x01) {
        view.Error = "not an SMS-SUBMIT (TP-MTI)";
        return view;
    }
    TDcsInfo dcs = DecodeDcs(view.Dcs);
    view.Coding = dcs.Coding;
    view.MessageClass = dcs.MessageClass;
    view.Compressed = dcs.Compressed;
    bool septets = view.Coding == TSmsCoding::Gsm7 && !view.Compressed;
    size_t udl = static_cast<size_t>(view.Udl);
    if (udl > (septets ? MaxSeptets : MaxUserOctets)) {
        view.Error = "TP-UDL beyond the maximum";
        return view;
    }
    size_t userOctets = septets ? (udl * 7 + 7) / 8 : udl;
    if (pdu.size() - pos != userOctets) {
        view.Error = "user data length differs from TP-UDL";
        return view;
    }
    ReadUserData(std::vector<uint8_t>(pdu.begin() + static_cast<std::ptrdiff_t>(pos), pdu.end()),
                 view);
    return view;
}

std::string DescribeSubmit(const TSubmitView& view) {
    std::string line = "SMS to " + view.Destination + " [" + CodingName(view.Coding);
    if (view.MessageClass >= 0)
        line += ", class " + std::to_string(view.MessageClass);
    if (view.ConcatRef >= 0)
        line += ", part " + std::to_string(view.ConcatSeq) + "/" + std::to_string(view.ConcatTotal);
    line += "]: ";
    for (char c : view.Text)
        line += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    if (!view.Error.empty())
        line += " (bad PDU: " + view.Error + ")";
    return line;
}

} // namespace qvx
