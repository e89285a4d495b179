// Reception: the terminal's stored messages are listed with at+cmgl=4 (3GPP TS 27.005, PDU
// mode), each entry is decoded, queued for the worker and deleted from the terminal by its
// index, a received text once the worker has confirmed it safe.
#include "infra/LogFile.h"
#include "terminal/AtSession.h"
#include "terminal/HandledEntries.h"
#include "terminal/Listing.h"
#include "terminal/Pdu.h"

#include <algorithm>
#include <chrono>

namespace qvx {

TReceiveResult TAtSession::Receive() {
    TReceiveResult result;
    try {
        result.Code = ReceiveListed(result);
    } catch (...) {
        result.Code = TGsmResult::Unknown;
    }
    return result;
}

TGsmResult TAtSession::ReceiveListed(TReceiveResult& result) {
    if (!FPort.IsOpen())
        return TGsmResult::PortNotReady;
    FlushSave();
    if (!SendString("at+cmgl=4\r", false))
        return TGsmResult::ATCommand;
    // The pause between passes is taken here, while the answer arrives: an idle pass then
    // wakes the thread once, and the answer is read at once after it.
    Pause(FOptions.PassPauseMs);
    std::string reply;
    bool cut = false;
    if (const TGsmResult read = ReadListing(reply, cut); read != TGsmResult::OK)
        return read;
    SaveStray(ListingStrays(reply));
    const std::vector<TListingEntry> entries = ParseListing(reply);
    // A cut listing does not show the entries behind the cut, which may still be there.
    if (!cut) {
        FOptions.Handled.KeepListed(entries);
        FOptions.Awaiting.KeepListed(entries);
        FOptions.Confirmed.KeepListed(entries);
    }
    std::vector<int32_t> taken;
    for (const TListingEntry& entry : entries) {
        if (Stopped())
            break;
        // The last entry of a cut listing comes whole in a later one; an index listed twice
        // is one entry of the SIM.
        if (!entry.Complete || std::find(taken.begin(), taken.end(), entry.Index) != taken.end())
            continue;
        taken.push_back(entry.Index);
        if (const TGsmResult took = TakeEntry(entry, result); took != TGsmResult::OK)
            return took;
    }
    return TGsmResult::OK;
}

// An entry is handed over the first time it is listed. A received text the owner has to
// confirm stays on the SIM until it has, and is not handed over again meanwhile; anything
// else is deleted every time it is listed: one whose deletion fails stays known, so that a
// later listing deletes it again without a second answer to the same request. Fails when the
// terminal failed to answer the deletion.
TGsmResult TAtSession::TakeEntry(const TListingEntry& entry, TReceiveResult& result) {
    const std::string pdu(entry.Pdu);
    if (FOptions.Awaiting.Contains(entry.Index, pdu))
        return TGsmResult::OK;
    const bool known = FOptions.Handled.Contains(entry.Index, pdu);
    if (!known && !FOptions.Confirmed.Contains(entry.Index, pdu) && HandOver(entry, pdu, result) &&
        FOptions.HoldUntilConfirmed) {
        FOptions.Awaiting.Add(entry.Index, pdu);
        return TGsmResult::OK;
    }
    const TDeletion deletion = DeleteEntry(entry.Index, !known);
    FOptions.Confirmed.Forget(entry.Index, pdu);
    if (deletion == TDeletion::Deleted) {
        FOptions.Handled.Forget(entry.Index, pdu);
        return TGsmResult::OK;
    }
    FOptions.Handled.Add(entry.Index, pdu);
    return deletion == TDeletion::Refused  ? TGsmResult::OK
           : deletion == TDeletion::Unsent ? TGsmResult::PortIO
                                           : TGsmResult::Timeout;
}

void TAtSession::Confirm(int32_t index, const std::string& pdu) {
    FOptions.Awaiting.Forget(index, pdu);
    FOptions.Confirmed.Add(index, pdu);
}

// Only a received text reaches the worker (true); anything else is logged and deleted all the
// same: left on the SIM it would come back in every pass.
bool TAtSession::HandOver(const TListingEntry& entry, const std::string& pdu,
                          TReceiveResult& result) {
    if (FOptions.LogExchange)
        LogMessage("Прием SMS: %s", std::string(entry.FromHeader).c_str());
    TDeliver deliver;
    switch (DecodeDeliver(pdu, deliver)) {
    case TDecodeStatus::Ok: {
        TSMS sms;
        sms.Telephone = deliver.Telephone;
        sms.Text = deliver.Text;
        sms.SimIndex = entry.Index;
        sms.SimPdu = pdu;
        LogMessage("Получена SMS тел=\"%s\" текст=\"%s\" DCS=%d", sms.Telephone.c_str(),
                   sms.Text.c_str(), deliver.Dcs);
        result.Messages.push_back(std::move(sms));
        return true;
    }
    case TDecodeStatus::NotDeliver:
        LogMessage("Запись не является принятой SMS (TP-MTI=%d) [индекс=%d]: %s", deliver.Type,
                   entry.Index, pdu.c_str());
        break;
    case TDecodeStatus::Malformed:
        LogMessage("Нераспознанная SMS [индекс=%d]: %s", entry.Index, pdu.c_str());
        break;
    }
    return false;
}

// The listing has no length in front, so it is read until "OK" arrives or the terminal stays
// silent for the answer timeout after its last byte; the bound keeps an endless stream out.
TGsmResult TAtSession::ReadListing(std::string& reply, bool& cut) {
    cut = false;
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(std::max(FOptions.Settings.ModemTimeoutMs, 0)),
        .Silence = true,
        .MaxLength = ListingMax};
    TReplyFrame frame;
    const TPortReader::TEnd end = FReader.ReadAnswer(
        [](std::string_view bytes) { return FrameListing(bytes, ListingMax); }, rule, frame);
    switch (end) {
    case TPortReader::TEnd::Framed:
        reply = FReader.Take(frame.Taken, frame.Kept);
        if (frame.State == TFrameState::Success)
            return TGsmResult::OK;
        if (frame.State == TFrameState::Failure)
            return RefusedListing(reply);
        // The entries read before the cut are handled and deleted, so that the next listing
        // gets the rest; a full store would otherwise never shrink.
        cut = DrainListing();
        return cut ? TGsmResult::OK : TGsmResult::ReplyTooLong;
    case TPortReader::TEnd::Hangup:
    case TPortReader::TEnd::LineError:
    case TPortReader::TEnd::ReadError:
        // The port is opened anew after this; what arrived of the reply goes with it.
        FReader.Clear();
        return end == TPortReader::TEnd::ReadError ? TGsmResult::ATCommand : TGsmResult::PortIO;
    case TPortReader::TEnd::Timeout:
    case TPortReader::TEnd::Stop:
        break;
    }
    return UnendedListing(FReader.TakeAll());
}

// The terminal refused the listing (text mode, a SIM gone): the pass fails, and the thread
// logs it and initialises the terminal again. Only the lines in front of the error line are
// stray text; the error itself is that failure.
TGsmResult TAtSession::RefusedListing(const std::string& reply) {
    const size_t last = reply.find_last_not_of("\r\n");
    const size_t errorLine = last == std::string::npos ? 0 : reply.find_last_of("\r\n", last);
    SaveStray(ListingStrays(reply.substr(0, errorLine == std::string::npos ? 0 : errorLine)));
    return TGsmResult::ATCommand;
}

// A reply that never said "OK": nothing at all, or text that was not a listing.
TGsmResult TAtSession::UnendedListing(const std::string& reply) {
    if (reply.empty()) {
        // A stop cuts the wait short; that is not a terminal that failed to answer.
        if (!Stopped())
            LogMessage("Нет ответа на запрос SMS (at+cmgl=4)");
        return TGsmResult::Timeout;
    }
    // Most likely unsolicited text, which NextUnsolicited() examines.
    SaveStray(reply);
    return TGsmResult::NoSMS;
}

// Text that came with a listing but is not part of it is logged and kept for the unsolicited
// scan exactly as FlushSave() treats text found before a command: the terminal log shows
// every call and every line the terminal sent.
void TAtSession::SaveStray(const std::string& text) {
    if (text.empty())
        return;
    Save(text);
    LogMessage("FlushSave: %s", FSaved.c_str());
}

// The rest of a listing cut at its bound is read and dropped up to its final "OK", so that the
// deletions after it get answers of their own. False when the rest does not end within
// ListingDrainMax bytes, or the terminal falls silent first.
bool TAtSession::DrainListing() {
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(std::max(FOptions.Settings.ModemTimeoutMs, 0)),
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
TAtSession::TDeletion TAtSession::DeleteEntry(int32_t index, bool logRefusal) {
    const std::string command = FormatMessage("at+cmgd=%d\r", index);
    FlushSave();
    if (!SendString(command, FOptions.LogExchange))
        return TDeletion::Unsent;
    const int32_t waitMs = std::max(FOptions.Settings.ModemTimeoutMs, DeleteWaitMinMs);
    const TPortReader::TRule rule{
        .Timeout = std::chrono::milliseconds(waitMs), .Silence = false, .MaxLength = AnswerMax + 1};
    TReplyFrame frame;
    const TPortReader::TEnd end = FReader.ReadAnswer(
        [](std::string_view bytes) { return FrameCommandAnswer(bytes, "OK", AnswerMax + 1); }, rule,
        frame);
    const bool framed = end == TPortReader::TEnd::Framed;
    const std::string answer = framed ? FReader.Take(frame.Taken, frame.Kept) : FReader.TakeAll();
    if (FOptions.LogExchange) {
        if (!answer.empty())
            LogMessage("Получено: %s", answer.c_str());
        else
            LogMessage("Нет ответа в течении %d сек", waitMs / 1000);
    }
    if (framed && frame.State == TFrameState::Success)
        return TDeletion::Deleted;
    const bool refused = framed && frame.State == TFrameState::Failure;
    if (!refused || logRefusal)
        LogMessage("Ошибка удаления SMS ! [%s]", command.c_str());
    return refused ? TDeletion::Refused : TDeletion::Failed;
}

} // namespace qvx
