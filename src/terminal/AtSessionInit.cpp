// Bringing a freshly opened terminal into the state the driver relies on: text error reports,
// word result codes without echo, an unlocked SIM, a readable SMS centre and, when asked, the
// SIM's IMSI and ICCID and caller identification.
#include "terminal/AtSession.h"

namespace qvx {

namespace {

constexpr int32_t SmscAttempts = 15;
// ESC ends a PDU entry; in command mode the terminal ignores it like any byte before "at".
constexpr char Escape = '\x1B';

} // namespace

TGsmResult TAtSession::Initialise() {
    FImsi.clear();
    FIccid.clear();
    std::string answer;
    // at+cmee=2 comes first, so its answer may still carry the echo; the exchange skips it.
    // The ESC in front of it ends a PDU entry that a submission cut short (a stop, or a port
    // closed before the PDU went out) left open: the terminal would otherwise take every
    // command as PDU text and never come up again.
    if (!SendCommand(std::string(1, Escape) + "at+cmee=2", answer, true, "OK",
                     FOptions.Settings.ModemTimeoutMs) ||
        !SendCommand("atq0v1e0", answer, true, "OK", FOptions.Settings.ModemTimeoutMs))
        return TGsmResult::ATCommand;
    if (!SelectPduMode())
        return TGsmResult::ATCommand;
    TGsmResult result = RegisterPin();
    if (result == TGsmResult::OK)
        result = QuerySmsCentre();
    if (result != TGsmResult::OK)
        return result;
    if (FOptions.QueryImsi)
        FImsi = AskImsi();
    if (FOptions.QueryIccid) {
        AskIccid();
        TakeKeptEntries();
        // A SIM past its PIN took the right one, whoever gave it: it counts afresh.
        if (FOptions.PinVerdict && !FIccid.empty())
            FOptions.PinVerdict(FIccid, {}, true);
    }
    if (FOptions.Clip) {
        LogMessage("Включение режима регистрации входящих звонков...");
        if (SendCommand("at+clip=1", answer, true, "OK", FOptions.Settings.ModemTimeoutMs))
            LogMessage("ОК");
        else
            LogMessage("Не могу включить режим регистрации входящих звонков ! [at+clip=1]");
    }
    return TGsmResult::OK;
}

// Another program may have left the terminal in text mode, where at+cmgs takes the length for
// a number and the PDU for the text and still answers "+CMGS": the mode is always set, and a
// terminal that refuses PDU mode is not ready.
bool TAtSession::SelectPduMode() {
    std::string answer;
    if (SendCommand("at+cmgf=0", answer, true, "OK", FOptions.Settings.ModemTimeoutMs))
        return true;
    LogMessage("Не могу включить режим PDU ! [at+cmgf=0]");
    return false;
}

// A terminal that does not answer at+cpin? is taken as one without a PIN. A SIM allows three
// wrong PINs before it needs the carrier's PUK: a PIN it refused is never sent again, nothing
// is sent to a SIM that wants its PUK, and the owner's records (PinAttempt) hold the service
// to two attempts on one SIM, also across restarts.
TGsmResult TAtSession::RegisterPin() {
    LogMessage("Регистрация PIN кода...");
    std::string answer;
    if (!SendCommand("at+cpin?", answer, true, "OK", FOptions.Settings.ModemTimeoutMs))
        return TGsmResult::OK;
    const TSimLock lock = SimLockOf(answer);
    if (lock == TSimLock::Ready) {
        LogMessage("PIN код не требуется");
        FPinWait = TPinWait::None;
        return TGsmResult::OK;
    }
    if (lock == TSimLock::Puk)
        return WaitWithoutPin(TPinWait::Puk);
    const std::string& pin = FOptions.Settings.Pin;
    if (pin.empty()) {
        LogMessage("Задайте PIN код в настройках проекта на вкладке GSM !");
        return TGsmResult::PinMissing;
    }
    if (pin == FOptions.RefusedPin)
        return WaitWithoutPin(TPinWait::Refused);
    if (FOptions.PinAttempt) {
        FIccid = QueryIccid();
        const TPinPermit permit = FOptions.PinAttempt(FIccid, pin);
        if (permit.Wait != TPinWait::None)
            return WaitWithoutPin(permit.Wait, permit.Reason);
        if (permit.Counted > 0)
            LogMessage("PIN код посылается: попыток на этой SIM карте уже было %d, у неё осталось "
                       "не меньше %d",
                       permit.Counted, SimPinTries - permit.Counted);
    }
    return SendPin(pin);
}

// Only the SIM's refusal makes a PIN refused. Without a verdict (no answer, SIM busy) the SIM
// may still have taken it: at+cpin? tells.
TGsmResult TAtSession::SendPin(const std::string& pin) {
    std::string answer;
    if (SendCommand("at+cpin=" + pin, answer, true, "OK", FOptions.Settings.ModemTimeoutMs)) {
        LogMessage("PIN код \"%s\" принят - регистрация прошла успешно", pin.c_str());
        return PinTaken(pin);
    }
    if (!PinRefused(answer))
        return PinUnanswered(pin);
    LogMessage("PIN код \"%s\" НЕ принят - регистрация не удалась !", pin.c_str());
    FOptions.RefusedPin = pin;
    if (FOptions.PinVerdict)
        FOptions.PinVerdict(FIccid, pin, false);
    return WaitWithoutPin(TPinWait::Refused);
}

TGsmResult TAtSession::PinTaken(const std::string& pin) {
    FPinWait = TPinWait::None;
    if (FOptions.PinVerdict)
        FOptions.PinVerdict(FIccid, pin, true);
    return TGsmResult::OK;
}

// The attempt stays counted unless the SIM says it is ready; the next initialisation sends the
// PIN again while the owner allows it.
TGsmResult TAtSession::PinUnanswered(const std::string& pin) {
    std::string answer;
    const bool answered =
        SendCommand("at+cpin?", answer, true, "OK", FOptions.Settings.ModemTimeoutMs);
    const TSimLock lock = answered ? SimLockOf(answer) : TSimLock::Pin;
    if (lock == TSimLock::Ready) {
        LogMessage("SIM карта не ответила на PIN код, но готова к работе: PIN код принят");
        return PinTaken(pin);
    }
    if (lock == TSimLock::Puk)
        return WaitWithoutPin(TPinWait::Puk);
    LogMessage("SIM карта не ответила на PIN код и ждёт его: попытка засчитана");
    FPinWait = TPinWait::None;
    return TGsmResult::Timeout;
}

// A terminal that cannot tell its SIM's number gives an empty one: the attempts are then
// counted for whatever SIM it holds.
std::string TAtSession::QueryIccid() {
    std::string answer;
    if (!SendCommand("at+ccid", answer, true, "OK", FOptions.Settings.ModemTimeoutMs))
        return {};
    return IccidOf(answer);
}

// Asked once the SMS centre answered, so that a SIM just unlocked is past its busy answers.
// A terminal that cannot tell is still of use: it only has no IMSI to count its SIM by.
std::string TAtSession::AskImsi() {
    std::string answer;
    const bool answered =
        SendCommand("at+cimi", answer, true, "OK", FOptions.Settings.ModemTimeoutMs);
    const std::string imsi = answered ? ImsiOf(answer) : std::string();
    if (imsi.empty())
        LogMessage("Не могу получить IMSI SIM карты ! [at+cimi]");
    else
        LogMessage("IMSI SIM карты: %s", imsi.c_str());
    return imsi;
}

// Asked with the IMSI, past the SIM's busy answers; the number a PIN attempt read stands, as
// it named the SIM the PIN went to.
void TAtSession::AskIccid() {
    if (FIccid.empty())
        FIccid = QueryIccid();
    if (FIccid.empty())
        LogMessage("Не могу получить ICCID SIM карты ! [at+ccid]");
    else
        LogMessage("ICCID SIM карты: %s", FIccid.c_str());
}

// The entries of a SIM taken out of the terminal go back to what is kept, so that they are
// there again if it comes back; the kept entries of the SIM now in it join Handled before its
// first listing.
void TAtSession::TakeKeptEntries() {
    const std::string sim = FIccid.empty() ? FOptions.UnnamedSim : FIccid;
    if (!FOptions.HandledSim.empty() && FOptions.HandledSim != sim) {
        if (FOptions.Handled.Size() > 0)
            FOptions.KeptEntries[FOptions.HandledSim] = std::move(FOptions.Handled);
        FOptions.Handled = {};
    }
    FOptions.HandledSim = sim;
    for (const std::string& key : {sim, FOptions.UnnamedSim}) {
        const auto kept = FOptions.KeptEntries.find(key);
        if (kept == FOptions.KeptEntries.end())
            continue;
        for (const auto& [index, pdu] : kept->second.Entries())
            FOptions.Handled.Add(index, pdu);
        FOptions.KeptEntries.erase(kept);
    }
}

// Says once why no PIN goes out; the initialisation keeps asking at+cpin?, so a SIM unlocked
// by other means is taken up at once.
TGsmResult TAtSession::WaitWithoutPin(TPinWait wait, const std::string& reason) {
    if (FPinWait != wait) {
        switch (wait) {
        case TPinWait::Puk:
            LogMessage("SIM карта заблокирована и требует PUK код: PIN код не посылается");
            break;
        case TPinWait::Exhausted:
            LogMessage("PIN код не посылается: служба израсходовала свои попытки на этой SIM "
                       "карте, последнюю из %d оставляем для ввода PIN кода вручную",
                       SimPinTries);
            break;
        case TPinWait::Unrecorded:
            LogMessage("PIN код не посылается: попытка не записана в файл состояния (%s), а без "
                       "записи перезапуски могли бы израсходовать попытки SIM карты",
                       reason.c_str());
            break;
        default:
            LogMessage("PIN код отвергнут SIM картой и повторно не посылается: задайте другой "
                       "PIN код и перезагрузите настройки");
        }
    }
    FPinWait = wait;
    return TGsmResult::PinRejected;
}

// A SIM that has just been unlocked answers "SIM busy" for a while; the query is repeated.
TGsmResult TAtSession::QuerySmsCentre() {
    std::string answer;
    for (int32_t attempt = 1; attempt <= SmscAttempts && !Stopped(); ++attempt) {
        if (SendCommand("at+csca?", answer, true, "OK", FOptions.Settings.ModemTimeoutMs)) {
            if (answer.find("CSCA") != std::string::npos)
                LogMessage("Номер SMS центра получен: %s", answer.c_str());
            else
                LogMessage("Нераспознанный ответ на команду at+csca?: %s", answer.c_str());
            return TGsmResult::OK;
        }
        if (answer.find("ERROR: SIM busy") == std::string::npos) {
            LogMessage("Ошибка at+csca?: %s", answer.c_str());
            return TGsmResult::ATCommand;
        }
        if (attempt == SmscAttempts)
            return TGsmResult::NoSMSC;
        Pause(FOptions.RetryPauseMs);
    }
    return TGsmResult::OK;
}

} // namespace qvx
