// Reception: the terminal's stored messages are listed with at+cmgl=4 (3GPP TS 27.005, PDU
// mode), each entry is decoded, queued for the worker and deleted from the terminal by its
// index.
#include "infra/LogFile.h"
#include "terminal/Listing.h"
#include "terminal/Pdu.h"
#include "terminal/Siemens.h"

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
// silent for FModemTimeout ms after its last byte; the bound keeps an endless stream out.
bool TSiemens::ReadListing(std::string& reply) {
    const uint32_t silenceMs = FModemTimeout > 0 ? uint32_t(FModemTimeout) : 0u;
    uint32_t lastByte = GetTickCount();
    bool endSeen = false;
    bool hangup = false;
    for (;;) {
        while (FComPort.InQueue() > 0 && !Terminated()) {
            char c;
            if (!FComPort.ReadByte(c)) {
                SetCode(FErrorCode, TGsmResult::ATCommand);
                return false;
            }
            if (FComPort.HasErrors()) {
                SetCode(FErrorCode, TGsmResult::PortIO);
                return false;
            }
            reply += c;
            lastByte = GetTickCount();
            if (reply.size() >= ListingMax) {
                SetCode(FErrorCode, TGsmResult::ReplyTooLong);
                return false;
            }
            if (reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "OK") == 0)
                endSeen = true;
        }
        const uint32_t silent = GetTickCount() - lastByte;
        if (endSeen || Terminated() || silent >= silenceMs)
            break;
        if (WaitForInput(silenceMs - silent) == TWaitResult::Hangup) {
            hangup = true;
            break;
        }
    }
    if (endSeen)
        return true;
    if (hangup) {
        // The device vanished in the middle of the reply.
        SetCode(FErrorCode, TGsmResult::PortIO);
        return false;
    }
    if (reply.empty()) {
        // A stop cuts the wait short; that is not a terminal that failed to answer.
        if (!Terminated())
            LogMessage("Нет ответа на запрос SMS (at+cmgl=4)");
        SetCode(FErrorCode, TGsmResult::Timeout);
        return false;
    }
    // Not a listing after all: most likely unsolicited text, which CheckForRing examines.
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
    if (!WaitAnswer("OK", "", FModemTimeout / 1000, nullptr, FLogExchange)) {
        LogMessage("Ошибка удаления SMS ! [%s]", command.c_str());
        SetCode(FErrorCode, TGsmResult::Timeout);
        return false;
    }
    SetCode(FErrorCode, TGsmResult::OK);
    return true;
}

} // namespace qvx
