// Submission of a prepared message: the at+cmgs dialogue in PDU mode (3GPP TS 27.005) for each
// of its PDUs.
#include "infra/LogFile.h"
#include "terminal/AtSession.h"

namespace qvx {

namespace {

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

} // namespace

TSubmitResult TAtSession::Submit(const TPreparedSms& sms, const std::function<bool()>& nextPart) {
    TSubmitResult result;
    // A message without parts could not be encoded: it can never be sent, like an empty one.
    if (sms.Digits.empty() || sms.Digits.size() > MaxPhoneDigits)
        result.Code = TGsmResult::EmptyPhone;
    else if (sms.Text.empty() || sms.Parts.empty())
        result.Code = TGsmResult::EmptyText;
    else if (!FPort.IsOpen())
        result.Code = TGsmResult::PortNotReady;
    if (result.Code != TGsmResult::OK)
        return result;
    // Every concatenated message gets a reference of its own, a retry included, so that
    // parts of an attempt that failed are never joined with the parts of the next one.
    std::vector<TSubmitPdu> parts = sms.Parts;
    if (parts.size() > 1)
        StampConcatRef(parts, FConcatRef++);
    for (const TSubmitPdu& part : parts) {
        if (&part != &parts.front() && nextPart && !nextPart()) {
            result.Stopped = true;
            return result;
        }
        result.Code = SubmitPart(part.Hex, part.CommandLength, result);
        if (result.Code != TGsmResult::OK)
            return result;
    }
    return result;
}

TGsmResult TAtSession::SubmitPart(const std::string& pduHex, int32_t commandLength,
                                  TSubmitResult& result) {
    FlushSave();
    // The results of the writes are not tested: a failed write shows as a missing answer.
    SendString(FormatMessage("at+cmgs=%d\r", commandLength), true);
    // The prompt has always been awaited in whole seconds of the answer timeout, cut down: a
    // timeout under a second does not wait for it at all.
    const auto promptWait = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::milliseconds(FOptions.Settings.ModemTimeoutMs));
    if (!WaitAnswer("> ", "", promptWait, nullptr, true))
        return TGsmResult::ATCommand;
    Pause(PromptSettleMs);
    FlushSave();
    SendString(pduHex + CtrlZ, true);
    std::string answer;
    // The part is on its way: a stop waits for its answer, bounded by the frame wait.
    FReader.SetHearOut(true);
    struct THearOutEnd {
        TPortReader& Reader;
        ~THearOutEnd() { Reader.SetHearOut(false); }
    } hearOutEnd{FReader};
    // Only a final "OK" line acknowledges: an OK inside another line (a USSD text arriving
    // meanwhile) says nothing about the message.
    if (!WaitFinalResult(FrameWait, answer)) {
        result.Refusal = RefusalOf(answer);
        return TGsmResult::WriteFrame;
    }
    result.References.push_back(ReferenceOf(answer));
    return TGsmResult::OK;
}

// An answer cut off by the timeout may end inside the error line: its rest is read and joined.
std::string TAtSession::RefusalOf(const std::string& answer) {
    const size_t at = answer.find("+CMS ERROR");
    if (at == std::string::npos)
        return {};
    std::string line = answer.substr(at);
    if (line.find('\n') == std::string::npos) {
        std::string rest;
        ReadUntilMarker(rest, "\n", "", RefusalLineWaitMs);
        line += rest;
    }
    line = line.substr(0, line.find_first_of("\r\n"));
    return line.substr(0, RefusalTextMax);
}

} // namespace qvx
