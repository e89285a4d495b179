// Bringing a freshly opened terminal into the state the driver relies on: text error reports,
// word result codes without echo, an unlocked SIM, a readable SMS centre and, when asked,
// caller identification.
#include "terminal/Siemens.h"

namespace qvx {

namespace {

constexpr int32_t SmscAttempts = 15;
// ESC ends a PDU entry; in command mode the terminal ignores it like any byte before "at".
constexpr char Escape = '\x1B';

} // namespace

bool TSiemens::InitTerminal() {
    FErrorCode = static_cast<int32_t>(TGsmResult::OK);
    std::string answer;
    // at+cmee=2 comes first, so its answer may still carry the echo; the exchange skips it.
    // The ESC in front of it ends a PDU entry that a submission cut short (a stop, or a port
    // closed before the PDU went out) left open: the terminal would otherwise take every
    // command as PDU text and never come up again.
    if (!SendCommand(std::string(1, Escape) + "at+cmee=2", answer, true, "OK",
                     FSettings.ModemTimeoutMs) ||
        !SendCommand("atq0v1e0", answer, true, "OK", FSettings.ModemTimeoutMs)) {
        FErrorCode = static_cast<int32_t>(TGsmResult::ATCommand);
        return false;
    }
    if (!RegisterPin() || !QuerySmsCentre())
        return false;
    if (FClip) {
        LogMessage("Включение режима регистрации входящих звонков...");
        if (SendCommand("at+clip=1", answer, true, "OK", FSettings.ModemTimeoutMs))
            LogMessage("ОК");
        else
            LogMessage("Не могу включить режим регистрации входящих звонков ! [at+clip=1]");
    }
    return true;
}

// A terminal that does not answer at+cpin? is taken as one without a PIN. A SIM allows three
// wrong PINs before it needs the carrier's PUK, so a PIN is sent once: one the SIM refused is
// never sent again, and nothing is sent to a SIM that wants its PUK.
bool TSiemens::RegisterPin() {
    LogMessage("Регистрация PIN кода...");
    std::string answer;
    if (!SendCommand("at+cpin?", answer, true, "OK", FSettings.ModemTimeoutMs))
        return true;
    const TSimLock lock = SimLockOf(answer);
    if (lock == TSimLock::Ready) {
        LogMessage("PIN код не требуется");
        SetPinWait(TPinWait::None);
        return true;
    }
    if (lock == TSimLock::Puk)
        return WaitWithoutPin(TPinWait::Puk);
    if (FSettings.Pin.empty()) {
        LogMessage("Задайте PIN код в настройках проекта на вкладке GSM !");
        FErrorCode = static_cast<int32_t>(TGsmResult::PinMissing);
        return false;
    }
    if (FSettings.Pin == FRefusedPin)
        return WaitWithoutPin(TPinWait::Refused);
    if (SendCommand("at+cpin=" + FSettings.Pin, answer, true, "OK", FSettings.ModemTimeoutMs)) {
        LogMessage("PIN код \"%s\" принят - регистрация прошла успешно", FSettings.Pin.c_str());
        SetPinWait(TPinWait::None);
        return true;
    }
    LogMessage("PIN код \"%s\" НЕ принят - регистрация не удалась !", FSettings.Pin.c_str());
    FErrorCode = static_cast<int32_t>(TGsmResult::PinRejected);
    if (!PinRefused(answer))
        return false; // no verdict on the PIN (no answer, SIM busy): it may be sent again
    FRefusedPin = FSettings.Pin;
    return WaitWithoutPin(TPinWait::Refused);
}

// Says once why no PIN goes out; the initialisation keeps asking at+cpin?, so a SIM unlocked
// by other means is taken up at once.
bool TSiemens::WaitWithoutPin(TPinWait wait) {
    if (FPinWait.load() != static_cast<int32_t>(wait)) {
        if (wait == TPinWait::Puk)
            LogMessage("SIM карта заблокирована и требует PUK код: PIN код не посылается");
        else
            LogMessage("PIN код отвергнут SIM картой и повторно не посылается: задайте другой "
                       "PIN код и перезагрузите настройки");
    }
    SetPinWait(wait);
    FErrorCode = static_cast<int32_t>(TGsmResult::PinRejected);
    return false;
}

// A SIM that has just been unlocked answers "SIM busy" for a while; the query is repeated.
bool TSiemens::QuerySmsCentre() {
    std::string answer;
    for (int32_t attempt = 1; attempt <= SmscAttempts && !Terminated(); ++attempt) {
        if (SendCommand("at+csca?", answer, true, "OK", FSettings.ModemTimeoutMs)) {
            if (answer.find("CSCA") != std::string::npos)
                LogMessage("Номер SMS центра получен: %s", answer.c_str());
            else
                LogMessage("Нераспознанный ответ на команду at+csca?: %s", answer.c_str());
            return true;
        }
        if (answer.find("ERROR: SIM busy") == std::string::npos) {
            LogMessage("Ошибка at+csca?: %s", answer.c_str());
            FErrorCode = static_cast<int32_t>(TGsmResult::ATCommand);
            return false;
        }
        if (attempt == SmscAttempts) {
            FErrorCode = static_cast<int32_t>(TGsmResult::NoSMSC);
            return false;
        }
        Pause(FRetryPauseMs);
    }
    return true;
}

} // namespace qvx
