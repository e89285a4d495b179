// The SMS commands of the simulated terminal: submission (at+cmgs), the SIM store with its
// listing (at+cmgl) and deletion (at+cmgd).
#include "gsmsim/DeliverPdu.h"
#include "gsmsim/Hex.h"
#include "gsmsim/ModemDialogue.h"

#include <algorithm>

namespace qvx {

namespace {

constexpr char CtrlZ = 0x1A;
constexpr char Escape = 0x1B;
// 3GPP TS 27.005 error numbers.
constexpr int32_t CmsNotAllowed = 302;
constexpr int32_t CmsInvalidPdu = 304;
constexpr int32_t CmsSimPinRequired = 311;
constexpr int32_t CmsInvalidIndex = 321;
constexpr int32_t MaxSubmitLength = 255;
// The filler of an oversized listing: "hello" from 12345, under an index the store never has.
constexpr std::string_view FillerPdu = "000405912143F50000"
                                       "42101231000000"
                                       "05E8329BFD06";

// A decimal number of at most nine digits; false for anything else.
bool ParseNumber(std::string_view text, int32_t& value) {
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

} // namespace

TSubmitReply TModemDialogue::TakeSubmitReply() {
    TSubmitReply reply = FSettings.SubmitReply;
    if (reply != TSubmitReply::Ok && FSettings.SubmitReplyCount > 0 &&
        --FSettings.SubmitReplyCount == 0)
        FSettings.SubmitReply = TSubmitReply::Ok;
    return reply;
}

uint32_t TModemDialogue::TakeNetworkDelay() {
    const uint32_t delayMs = FSettings.NetworkDelayMs;
    if (delayMs > 0 && FSettings.NetworkDelayCount > 0 && --FSettings.NetworkDelayCount == 0)
        FSettings.NetworkDelayMs = 0;
    return delayMs;
}

void TModemDialogue::SetFormat(const std::string& argument, TModemOutputs& out) {
    if ((argument != "0" && argument != "1") || (argument == "0" && FSettings.PduModeRefused)) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    FTextMode = argument == "1";
    Ok(out);
}

void TModemDialogue::StartSubmit(const std::string& argument, TModemOutputs& out) {
    if (PinNeeded()) {
        CmsError(out, CmsSimPinRequired);
        return;
    }
    // In text mode the argument is the destination, so a PDU length passes for a number.
    int32_t length = 0;
    if (!ParseNumber(argument, length) || length < 1 || (length > MaxSubmitLength && !FTextMode)) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    if (FSettings.SubmitReply == TSubmitReply::NoPrompt) {
        TakeSubmitReply();
        return;
    }
    if (!FSettings.PromptInterjection.empty())
        Answer(out, FSettings.PromptInterjection);
    // The prompt has no line end: the terminal waits for the PDU on the same line.
    Answer(out, "\r\n> ");
    FInPdu = true;
    FPdu.clear();
    FPduOverflow = false;
    FPduLength = length;
}

void TModemDialogue::FeedPduByte(char c, TModemOutputs& out) {
    if (c == Escape) { // the sender gave up: the terminal drops the PDU
        FInPdu = false;
        if (!FSettings.Hung)
            Ok(out);
        return;
    }
    if (c == CtrlZ) {
        FInPdu = false;
        if (!FSettings.Hung)
            FinishSubmit(out);
        return;
    }
    if (FEcho && !FSettings.Hung) {
        if (out.empty() || out.back().Answer)
            out.push_back({false, {}, 0});
        out.back().Bytes += c;
    }
    if (c == '\r' || c == '\n' || c == ' ')
        return;
    if (FPdu.size() >= PduMax) {
        FPduOverflow = true;
        return;
    }
    FPdu += c;
}

void TModemDialogue::FinishSubmit(TModemOutputs& out) {
    TSubmittedSms sms;
    sms.Serial = FNextSerial++;
    sms.Pdu = FPdu;
    sms.CommandLength = FPduLength;
    sms.ReceivedAt = std::chrono::steady_clock::now();
    if (FTextMode) {
        FinishTextSubmit(sms, out);
        return;
    }
    sms.View = DecodeSubmitPdu(FPdu);
    if (FPduOverflow)
        sms.View.Error = "PDU longer than " + std::to_string(PduMax) + " characters";
    sms.LengthMatches = TpduLength(FPdu) == FPduLength;
    bool valid = sms.View.Error.empty() && (sms.LengthMatches || !FSettings.StrictLength);
    const auto refused = FSettings.RefusedNumbers.find(sms.View.Destination);
    const bool refusedNumber = valid && refused != FSettings.RefusedNumbers.end();
    TSubmitReply reply = valid && !refusedNumber ? TakeSubmitReply() : TSubmitReply::CmsError;
    if (!FSettings.SubmitInterjection.empty())
        Answer(out, FSettings.SubmitInterjection);
    if (!valid) {
        CmsError(out, CmsInvalidPdu);
    } else if (refusedNumber) {
        CmsError(out, refused->second);
    } else if (reply == TSubmitReply::CmsError) {
        CmsError(out, FSettings.CmsError);
    } else {
        sms.Accepted = true;
        sms.Reference = FNextReference++;
        if (reply != TSubmitReply::NoFinalAnswer)
            out.push_back({true, "\r\n+CMGS: " + std::to_string(sms.Reference) + "\r\n\r\nOK\r\n",
                           sms.Serial, TakeNetworkDelay()});
    }
    FSubmitted.push_back(std::move(sms));
}

// What a terminal in text mode does with a PDU submission: the hex goes out as the text of a
// message to the number the length spelled, and the answer says the message was sent.
void TModemDialogue::FinishTextSubmit(TSubmittedSms& sms, TModemOutputs& out) {
    sms.View.Error = "text mode: the PDU went out as text to " + std::to_string(FPduLength);
    sms.Accepted = true;
    sms.Reference = FNextReference++;
    out.push_back(
        {true, "\r\n+CMGS: " + std::to_string(sms.Reference) + "\r\n\r\nOK\r\n", sms.Serial});
    FSubmitted.push_back(std::move(sms));
}

void TModemDialogue::MarkAcknowledged(uint64_t serial) {
    for (auto it = FSubmitted.rbegin(); it != FSubmitted.rend(); ++it) {
        if (it->Serial == serial) {
            it->Acknowledged = true;
            return;
        }
    }
}

void TModemDialogue::List(const std::string& argument, TModemOutputs& out) {
    if (PinNeeded()) {
        CmsError(out, CmsSimPinRequired);
        return;
    }
    // Text mode lists by words ("ALL"); its error for a PDU mode number is 302, not allowed.
    if (FTextMode) {
        CmsError(out, CmsNotAllowed);
        return;
    }
    int32_t status = 0; // PDU mode: 0 unread, 1 read, 2 unsent, 3 sent, 4 all
    if (!argument.empty() && (!ParseNumber(argument, status) || status > 4)) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    std::string body;
    std::string filler = "+CMGL: " + std::to_string(FSettings.Capacity + 1) + ",1,," +
                         std::to_string(TpduLength(FillerPdu)) + "\r\n" + std::string(FillerPdu) +
                         "\r\n";
    while (body.size() < FSettings.ListingPadBytes)
        body += filler;
    for (auto& [index, sms] : FStored) {
        if (status != 4 && sms.Status != status)
            continue;
        body += "+CMGL: " + std::to_string(index) + "," + std::to_string(sms.Status) + ",," +
                std::to_string(sms.Length) + "\r\n" + sms.Pdu + "\r\n";
        sms.Status = 1; // listed means read
    }
    // Unsolicited text the terminal sends while it lists arrives between the entries and OK.
    body += FSettings.ListingInterjection;
    Answer(out, body.empty() ? "\r\nOK\r\n" : "\r\n" + body + "\r\nOK\r\n");
}

void TModemDialogue::Delete(const std::string& argument, TModemOutputs& out) {
    size_t comma = argument.find(',');
    int32_t index = 0;
    int32_t flag = 0;
    if (!ParseNumber(argument.substr(0, comma), index) ||
        (comma != std::string::npos && !ParseNumber(argument.substr(comma + 1), flag))) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    FDeleted.push_back(index);
    if (PinNeeded()) {
        CmsError(out, CmsSimPinRequired);
        return;
    }
    if (FSettings.DeleteFails) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    if (flag == 4) { // delete everything
        FStored.clear();
        Ok(out);
        return;
    }
    if (index < 1 || index > FSettings.Capacity) {
        CmsError(out, CmsInvalidIndex);
        return;
    }
    if (const auto error = FSettings.DeleteErrors.find(index);
        error != FSettings.DeleteErrors.end()) {
        CmsError(out, error->second);
        return;
    }
    FStored.erase(index);
    Ok(out);
}

std::vector<int32_t> TModemDialogue::FreeIndexes(size_t count) const {
    std::vector<int32_t> indexes;
    for (int32_t index = 1; index <= FSettings.Capacity && indexes.size() < count; ++index)
        if (!FStored.contains(index))
            indexes.push_back(index);
    if (indexes.size() < count)
        indexes.clear();
    return indexes;
}

std::vector<int32_t> TModemDialogue::StoreText(std::string_view number, std::string_view utf8Text,
                                               bool concatenate) {
    TDeliverOptions options;
    options.SmscNumber = FSettings.SmscNumber;
    options.Concatenate = concatenate;
    options.ConcatRef = FNextConcatRef;
    std::vector<std::string> pdus = BuildDeliverPdus(number, utf8Text, options);
    std::vector<int32_t> indexes = FreeIndexes(pdus.size());
    if (pdus.empty() || indexes.empty())
        return {};
    if (pdus.size() > 1)
        ++FNextConcatRef;
    for (size_t i = 0; i < pdus.size(); ++i)
        FStored[indexes[i]] = {indexes[i], 0, pdus[i], TpduLength(pdus[i])};
    return indexes;
}

int32_t TModemDialogue::StorePdu(std::string_view hex) {
    int32_t length = TpduLength(hex);
    std::vector<int32_t> indexes = FreeIndexes(1);
    if (length < 0 || indexes.empty())
        return -1;
    std::string pdu(hex);
    std::transform(pdu.begin(), pdu.end(), pdu.begin(),
                   [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
    FStored[indexes[0]] = {indexes[0], 0, pdu, length};
    return indexes[0];
}

} // namespace qvx
