// Reception: the terminal's stored messages are listed with at+cmgl=4 (3GPP TS 27.005, PDU
// mode), each entry is decoded, queued for the worker and deleted from the terminal by its
// index.
#include "infra/LogFile.h"
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
        std::string reply;
        if (!ReadListing(reply))
            return false;
        const std::string unsolicited = UnsolicitedLines(reply);
        if (!unsolicited.empty()) {
            FSaved += unsolicited;
            BoundSaved(FSaved, SavedMax);
        }
        TSMS sms;
        for (const TListingEntry& entry : ParseListing(reply)) {
            if (Terminated())
                break;
            if (FLogExchange)
                LogMessage("Прием SMS: %s", std::string(entry.FromHeader).c_str());
            const std::string pdu(entry.Pdu);
            TDeliver deliver;
            if (DecodeDeliver(pdu, deliver) == TDecodeStatus::Ok) {
                sms.Telephone = deliver.Telephone;
                sms.Text = deliver.Text;
                FIncoming.Push(sms);
                LogMessage("Получена SMS тел=\"%s\" текст=\"%s\" DCS=%d", sms.Telephone.c_str(),
                           sms.Text.c_str(), deliver.Dcs);
            } else {
                // Deleted all the same: left on the SIM it would come back in every pass.
                LogMessage("Нераспознанная SMS [индекс=%d]: %s", entry.Index, pdu.c_str());
            }
            if (!DeleteEntry(entry.Index))
                return false;
        }
        SetCode(FErrorCode, TGsmResult::OK);
        return true;
    } catch (...) {
        SetCode(FErrorCode, TGsmResult::Unknown);
        return false;
    }
}

// The listing has no length in front, so it is read until "OK" arrives or the terminal stays
// silent for the answer timeout after its last byte; the bound keeps an endless stream out.
bool TSiemens::ReadListing(std::string& reply) {
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

bool TSiemens::DeleteEntry(int32_t index) {
    const std::string command = FormatMessage("at+cmgd=%d\r", index);
    FlushSave();
    if (!SendString(command, FLogExchange)) {
        SetCode(FErrorCode, TGsmResult::PortIO);
        return false;
    }
    if (!WaitAnswer("OK", "", FSettings.ModemTimeoutMs, nullptr, FLogExchange)) {
        LogMessage("Ошибка удаления SMS ! [%s]", command.c_str());
        SetCode(FErrorCode, TGsmResult::Timeout);
        return false;
    }
    SetCode(FErrorCode, TGsmResult::OK);
    return true;
}

} // namespace qvx
