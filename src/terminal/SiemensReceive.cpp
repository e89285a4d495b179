// Reception: the terminal's stored messages are listed with at+cmgl=4 (3GPP TS 27.005, PDU
// mode), each entry is decoded, queued for the worker and deleted from the terminal by its
// index.
#include "infra/LogFile.h"
#include "terminal/HandledEntries.h"
#include "terminal/Listing.h"
#include "terminal/Pdu.h"
#include "terminal/Siemens.h"

#include <algorithm>
#include <chrono>

namespace qvx {

namespace {

void SetCode(int32_t& code, TGsmResult result) {
    code = static_cast<int32_t>(result);
}

} // namespace

bool TSiemens::ReceiveSMS() {
    try {
        SetCode(FErrorCode, TGsmResult::OK);
        if (!FComPort.IsOpen()) {
            SetCode(FErrorCode, TGsmResult::PortNotReady);
            return false;
        }
        FlushSave();
        if (!SendString("at+cmgl=4\r", false)) {
            SetCode(FErrorCode, TGsmResult::ATCommand);
            return false;
        }
        // The pause between passes is taken here, while the answer arrives: an idle pass then
        // wakes the thread once, and the answer is read at once after it.
        SleepMs(FPassPauseMs);
        std::string reply;
        bool cut = false;
        if (!ReadListing(reply, cut))
            return false;
        const std::string unsolicited = UnsolicitedLines(reply);
        if (!unsolicited.empty()) {
            FSaved += unsolicited;
            BoundSaved(FSaved, SavedMax);
        }
        const std::vector<TListingEntry> entries = ParseListing(reply);
        // A cut listing does not show the entries behind the cut, which may still be there.
        if (!cut)
            FHandled.KeepListed(entries);
        std::vector<int32_t> taken;
        for (const TListingEntry& entry : entries) {
            if (Terminated())
                break;
            // The last entry of a cut listing comes whole in a later one; an index listed twice
            // is one entry of the SIM.
            if (!entry.Complete ||
                std::find(taken.begin(), taken.end(), entry.Index) != taken.end())
                continue;
            taken.push_back(entry.Index);
            if (!TakeEntry(entry))
                return false;
        }
        SetCode(FErrorCode, TGsmResult::OK);
        return true;
    } catch (...) {
        SetCode(FErrorCode, TGsmResult::Unknown);
        return false;
    }
}

// An entry is handed over the first time it is listed and deleted every time: one whose
// deletion fails stays known, so that a later listing deletes it again without a second
// answer to the same request. False when the terminal failed to answer the deletion.
bool TSiemens::TakeEntry(const TListingEntry& entry) {
    const std::string pdu(entry.Pdu);
    const bool known = FHandled.Contains(entry.Index, pdu);
    if (!known)
        HandOver(entry, pdu);
    const TDeletion deletion = DeleteEntry(entry.Index, !known);
    if (deletion == TDeletion::Deleted) {
        FHandled.Forget(entry.Index, pdu);
        return true;
    }
    FHandled.Add(entry.Index, pdu);
    return deletion == TDeletion::Refused;
}

// Only a received text reaches the worker; anything else is logged and deleted all the same:
// left on the SIM it would come back in every pass.
void TSiemens::HandOver(const TListingEntry& entry, const std::string& pdu) {
    if (FLogExchange)
        LogMessage("Прием SMS: %s", std::string(entry.FromHeader).c_str());
    TDeliver deliver;
    switch (DecodeDeliver(pdu, deliver)) {
    case TDecodeStatus::Ok: {
        TSMS sms;
        sms.Telephone = deliver.Telephone;
        sms.Text = deliver.Text;
        FIncoming.Push(sms);
        LogMessage("Получена SMS тел=\"%s\" текст=\"%s\" DCS=%d", sms.Telephone.c_str(),
                   sms.Text.c_str(), deliver.Dcs);
        break;
    }
    case TDecodeStatus::NotDeliver:
        LogMessage("Запись не является принятой SMS (TP-MTI=%d) [индекс=%d]: %s", deliver.Type,
                   entry.Index, pdu.c_str());
        break;
    case TDecodeStatus::Malformed:
        LogMessage("Нераспознанная SMS [индекс=%d]: %s", entry.Index, pdu.c_str());
        break;
    }
}

// The listing has no length in front, so it is read until "OK" arrives or the terminal stays
// silent for the answer timeout after its last byte; the bound keeps an endless stream out.
bool TSiemens::ReadListing(std::string& reply, bool& cut) {
    cut = false;
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(std::max(FSettings.ModemTimeoutMs, 0)),
        .Silence = true,
        .MaxLength = ListingMax};
    TReplyFrame frame;
    const TPortReader::TEnd end = FReader.ReadAnswer(
        [](std::string_view bytes) { return FrameListing(bytes, ListingMax); }, rule, frame);
    switch (end) {
    case TPortReader::TEnd::Framed:
        reply = FReader.Take(frame.Taken, frame.Kept);
        if (frame.State == TFrameState::Success)
            return true;
        // The entries read before the cut are handled and deleted, so that the next listing
        // gets the rest; a full store would otherwise never shrink.
        cut = DrainListing();
        if (cut)
            return true;
        SetCode(FErrorCode, TGsmResult::ReplyTooLong);
        return false;
    case TPortReader::TEnd::Hangup:
    case TPortReader::TEnd::LineError:
    case TPortReader::TEnd::ReadError:
        // The port is opened anew after this; what arrived of the reply goes with it.
        FReader.Clear();
        SetCode(FErrorCode,
                end == TPortReader::TEnd::ReadError ? TGsmResult::ATCommand : TGsmResult::PortIO);
        return false;
    case TPortReader::TEnd::Timeout:
    case TPortReader::TEnd::Stop:
        break;
    }
    return UnendedListing(FReader.TakeAll());
}

// A reply that never said "OK": nothing at all, or text that was not a listing.
bool TSiemens::UnendedListing(const std::string& reply) {
    if (reply.empty()) {
        // A stop cuts the wait short; that is not a terminal that failed to answer.
        if (!Terminated())
            LogMessage("Нет ответа на запрос SMS (at+cmgl=4)");
        SetCode(FErrorCode, TGsmResult::Timeout);
        return false;
    }
    // Most likely unsolicited text, which CheckForRing examines.
    FSaved += reply;
    BoundSaved(FSaved, SavedMax);
    SetCode(FErrorCode, TGsmResult::NoSMS);
    return false;
}

// The rest of a listing cut at its bound is read and dropped up to its final "OK", so that the
// deletions after it get answers of their own. False when the rest does not end within
// ListingDrainMax bytes, or the terminal falls silent first.
bool TSiemens::DrainListing() {
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(std::max(FSettings.ModemTimeoutMs, 0)),
        .Silence = true,
        .MaxLength = TPortReader::Capacity};
    for (size_t dropped = 0; dropped <= ListingDrainMax;) {
        TReplyFrame frame;
        const TPortReader::TEnd end = FReader.ReadAnswer(
            [](std::string_view bytes) { return FrameListingRest(bytes, TPortReader::Capacity); },
            rule, frame);
        if (end != TPortReader::TEnd::Framed)
            return false;
        FReader.Take(frame.Taken, 0);
        if (frame.State == TFrameState::Success)
            return true;
        dropped += frame.Taken;
    }
    return false;
}

// A terminal may take its time to delete: the wait is never shorter than DeleteWaitMinMs,
// whatever the answer timeout says. An error report ends it at once: the entry stays on the SIM,
// but the terminal answered, so there is nothing to re-initialise.
TSiemens::TDeletion TSiemens::DeleteEntry(int32_t index, bool logRefusal) {
    const std::string command = FormatMessage("at+cmgd=%d\r", index);
    FlushSave();
    if (!SendString(command, FLogExchange)) {
        SetCode(FErrorCode, TGsmResult::PortIO);
        return TDeletion::Failed;
    }
    const int32_t waitMs = std::max(FSettings.ModemTimeoutMs, DeleteWaitMinMs);
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(waitMs), .Silence = false, .MaxLength = AnswerMax + 1};
    TReplyFrame frame;
    const TPortReader::TEnd end = FReader.ReadAnswer(
        [](std::string_view bytes) { return FrameCommandAnswer(bytes, "OK", AnswerMax + 1); }, rule,
        frame);
    const bool framed = end == TPortReader::TEnd::Framed;
    const std::string answer = framed ? FReader.Take(frame.Taken, frame.Kept) : FReader.TakeAll();
    if (FLogExchange) {
        if (!answer.empty())
            LogMessage("Получено: %s", answer.c_str());
        else
            LogMessage("Нет ответа в течении %d сек", waitMs / 1000);
    }
    if (framed && frame.State == TFrameState::Success) {
        SetCode(FErrorCode, TGsmResult::OK);
        return TDeletion::Deleted;
    }
    const bool refused = framed && frame.State == TFrameState::Failure;
    if (!refused || logRefusal)
        LogMessage("Ошибка удаления SMS ! [%s]", command.c_str());
    SetCode(FErrorCode, TGsmResult::Timeout);
    return refused ? TDeletion::Refused : TDeletion::Failed;
}

} // namespace qvx
