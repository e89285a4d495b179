// Submission of outgoing messages: the queue the worker fills, and the at+cmgs dialogue in PDU
// mode (3GPP TS 27.005) for each PDU of a message.
#include "infra/LogFile.h"
#include "terminal/Pdu.h"
#include "terminal/Siemens.h"

namespace qvx {

namespace {

constexpr int32_t FrameWaitMs = 30000;
constexpr uint32_t PromptSettleMs = 10;
constexpr char CtrlZ = '\x1A';
// The rest of a "+CMS ERROR" line follows the marker at once; the wait only bounds it.
constexpr uint32_t RefusalLineWaitMs = 1000;
constexpr size_t RefusalTextMax = 80;

// The message reference of a "+CMGS: <mr>" line in the answer; -1 without one.
int32_t ReferenceOf(const std::string& answer) {
    const size_t at = answer.find("+CMGS:");
    if (at == std::string::npos)
        return -1;
    size_t i = at + 6;
    while (i < answer.size() && answer[i] == ' ')
        ++i;
    int32_t reference = -1;
    for (; i < answer.size() && answer[i] >= '0' && answer[i] <= '9' && reference < 100000; ++i)
        reference = (reference < 0 ? 0 : reference * 10) + (answer[i] - '0');
    return reference;
}

TGsmResult EncodeResult(TEncodeStatus status) {
    switch (status) {
    case TEncodeStatus::Ok:
        return TGsmResult::OK;
    case TEncodeStatus::EmptyPhone:
        return TGsmResult::EmptyPhone;
    case TEncodeStatus::Unicode:
        return TGsmResult::Unicode;
    case TEncodeStatus::EmptyText:
    case TEncodeStatus::TooLong:
        // A text that can never be sent is dropped like an empty one.
        return TGsmResult::EmptyText;
    }
    return TGsmResult::Unknown;
}

} // namespace

bool TSiemens::QueueSMS(const TSMS& sms) {
    FOutgoing.Push(sms);
    return true;
}

bool TSiemens::SendSMS(const std::string& digits, const std::string& text, bool flash) {
    FErrorCode = static_cast<int32_t>(TGsmResult::OK);
    FReferences.clear();
    FRefusal.clear();
    TGsmResult check = TGsmResult::OK;
    if (digits.empty() || digits.size() > MaxPhoneDigits)
        check = TGsmResult::EmptyPhone;
    else if (text.empty())
        check = TGsmResult::EmptyText;
    else if (!FComPort.IsOpen())
        check = TGsmResult::PortNotReady;
    std::vector<TSubmitPdu> parts;
    if (check == TGsmResult::OK)
        check = EncodeResult(EncodeSubmit(digits, text, flash, FConcatRef, parts));
    if (check == TGsmResult::OK && parts.empty())
        check = TGsmResult::Unknown;
    if (check != TGsmResult::OK) {
        FErrorCode = static_cast<int32_t>(check);
        return false;
    }
    // Every concatenated message gets a reference of its own, a retry included, so that
    // parts of an attempt that failed are never joined with the parts of the next one.
    if (parts.size() > 1)
        ++FConcatRef;
    for (const TSubmitPdu& part : parts)
        if (!SubmitPart(part.Hex, part.CommandLength))
            return false;
    FErrorCode = static_cast<int32_t>(TGsmResult::OK);
    return true;
}

bool TSiemens::SubmitPart(const std::string& pduHex, int32_t commandLength) {
    FlushSave();
    // The results of the writes are not tested: a failed write shows as a missing answer.
    SendString(FormatMessage("at+cmgs=%d\r", commandLength), true);
    if (!WaitAnswer("> ", "", FSettings.ModemTimeoutMs, nullptr, true)) {
        FErrorCode = static_cast<int32_t>(TGsmResult::ATCommand);
        return false;
    }
    Pause(PromptSettleMs);
    FlushSave();
    SendString(pduHex + CtrlZ, true);
    std::string answer;
    if (!WaitAnswer("OK", "ERROR", FrameWaitMs, &answer, true)) {
        NoteRefusal(answer);
        FErrorCode = static_cast<int32_t>(TGsmResult::WriteFrame);
        return false;
    }
    FReferences.push_back(ReferenceOf(answer));
    return true;
}

// The wait for the answer may stop at "ERROR", before the error number that follows it.
void TSiemens::NoteRefusal(const std::string& answer) {
    const size_t at = answer.find("+CMS ERROR");
    if (at == std::string::npos)
        return;
    std::string line = answer.substr(at);
    if (line.find('\n') == std::string::npos)
        ReadUntilMarker(line, "\n", "", RefusalLineWaitMs);
    line = line.substr(0, line.find_first_of("\r\n"));
    FRefusal = line.substr(0, RefusalTextMax);
}

} // namespace qvx
