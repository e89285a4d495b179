// Submission of a prepared message: the at+cmgs dialogue in PDU mode (3GPP TS 27.005) for each
// of its PDUs.
#include "infra/LogFile.h"
#include "terminal/AtSession.h"

namespace qvx {

namespace {

constexpr uint32_t PromptSettleMs = 10;
constexpr char CtrlZ = '\x1A';
constexpr char Escape = '\x1B';
// The rest of a "+CMS ERROR" line follows the marker at once; the wait only bounds it.
constexpr uint32_t RefusalLineWaitMs = 1000;
constexpr size_t RefusalTextMax = 80;
// Late references kept from the answers of parts until the owner takes them.
constexpr size_t LateReferencesMax = 16;

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

TSubmitResult TAtSession::Submit(const TPreparedSms& sms, const std::function<bool()>& mayWrite) {
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
        result.Code = SubmitPart(part.Hex, part.CommandLength, mayWrite, result);
        if (result.Code != TGsmResult::OK || result.Stopped)
            return result;
    }
    return result;
}

TGsmResult TAtSession::SubmitPart(const std::string& pduHex, int32_t commandLength,
                                  const std::function<bool()>& mayWrite, TSubmitResult& result) {
    FlushSave();
    // A failed write of the command shows as a missing prompt.
    SendString(FormatMessage("at+cmgs=%d\r", commandLength), true);
    // The prompt has always been awaited in whole seconds of the answer timeout, cut down: a
    // timeout under a second does not wait for it at all.
    const auto promptWait = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::milliseconds(FOptions.Settings.ModemTimeoutMs));
    std::string prompt;
    if (!WaitAnswer("> ", "", promptWait, &prompt, true))
        return TGsmResult::ATCommand;
    LogLateRefusal(prompt);
    Pause(PromptSettleMs);
    FlushSave();
    // The last moment the part can still be kept from the network.
    if (mayWrite && !mayWrite()) {
        CancelPduEntry();
        result.Stopped = true;
        return TGsmResult::OK;
    }
    // Only a PDU that went out may have reached the network.
    if (!SendString(pduHex + CtrlZ, true))
        return TGsmResult::WriteFrame;
    result.WrittenTick = FOptions.TickSource();
    return AwaitPartAnswer(result);
}

// ESC ends the PDU entry without sending; the terminal's answer to it is read and dropped.
void TAtSession::CancelPduEntry() {
    SendString(std::string(1, Escape), true);
    std::string answer;
    WaitFinalResult(std::chrono::seconds(1), answer);
}

// Only a final "OK" line acknowledges: an OK inside another line (a USSD text arriving
// meanwhile) says nothing about the message. Without any final line the network may have it.
TGsmResult TAtSession::AwaitPartAnswer(TSubmitResult& result) {
    // The part is on its way: a stop waits for its answer, bounded by the frame wait.
    FReader.SetAwaitingPart(true);
    struct TAwaitEnd {
        TPortReader& Reader;
        ~TAwaitEnd() { Reader.SetAwaitingPart(false); }
    } awaitEnd{FReader};
    std::string answer;
    const TFinalResult ended = WaitFinalResult(FrameWait, answer);
    if (ended == TFinalResult::Ok) {
        result.References.push_back(OwnReference(answer));
        return TGsmResult::OK;
    }
    result.Refusal = RefusalOf(answer);
    result.Unanswered = ended == TFinalResult::None && result.Refusal.empty();
    return TGsmResult::WriteFrame;
}

// The part's own "+CMGS" is the last one before its OK; any in front of it answered an earlier
// submission whose wait had ended.
int32_t TAtSession::OwnReference(const std::string& answer) {
    std::vector<int32_t> found;
    for (size_t from = 0; from < answer.size();) {
        const TInputLine line = NextInputLine(answer, from);
        if (line.Kind == TLineKind::Partial)
            break;
        if (line.Kind == TLineKind::Submitted)
            found.push_back(line.Reference);
        from = line.End;
    }
    if (found.empty())
        return ReferenceOf(answer); // a "+CMGS" that does not start its line
    for (size_t i = 0; i + 1 < found.size() && FLateReferences.size() < LateReferencesMax; ++i)
        FLateReferences.push_back(found[i]);
    return found.back();
}

// A late refusal in front of the prompt is only logged: its message already went back as
// maybe sent, and a refusal names no message to match it with.
void TAtSession::LogLateRefusal(const std::string& prompt) {
    const size_t at = prompt.find("+CMS ERROR");
    if (at == std::string::npos)
        return;
    const std::string line = prompt.substr(at, prompt.find_first_of("\r\n", at) - at);
    LogMessage("Отказ сети с опозданием: %s", line.substr(0, RefusalTextMax).c_str());
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
