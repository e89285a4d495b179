// The terminal thread: opening the port, initialising the terminal, and the working loop that
// sends, receives and watches unsolicited results until a failure asks for a fresh start.
#include "terminal/Siemens.h"

#include "infra/Transliterate.h"

namespace qvx {

namespace {

std::string DigitsOnly(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

// Codes after which a message can never be sent: it leaves the queue.
bool IsHopeless(int32_t code) {
    return code == static_cast<int32_t>(TGsmResult::Unicode) ||
           code == static_cast<int32_t>(TGsmResult::EmptyPhone) ||
           code == static_cast<int32_t>(TGsmResult::EmptyText);
}

} // namespace

TSiemens::TSiemens(std::string portName, std::string logFileName)
    : FPortName(std::move(portName)), FLogFileName(std::move(logFileName)) {}

TSiemens::~TSiemens() {
    ClosePort();
}

bool TSiemens::OpenPort() {
    const TLineSettings& line = FSettings.Line;
    FComPort.FLine = line;
    LogMessage("Скорость: %s Стоповые биты: %s Четность: %s Управление потоком: %s",
               BaudRateName(line.BaudRate).c_str(), StopBitsName(line.StopBits).c_str(),
               ParityTitle(line.Parity).c_str(), line.RtsCts ? "RTS/CTS" : "нет");
    FReader.Clear();
    if (!FComPort.Open(COM::DevicePrefix + FPortName))
        return false;
    FComPort.SetDTR(true);
    return true;
}

void TSiemens::ClosePort() {
    FReader.Clear();
    if (FComPort.IsOpen())
        FComPort.Close();
}

void TSiemens::Execute() {
    LogMessage("************************************");
    LogMessage("Начало работы с GSM терминалом...");
    for (;;) {
        try {
            OpenLoop();
            if (InitLoop()) {
                ClosePort();
                LogMessage("Выполним инициализацию повторно");
                continue;
            }
            SetState(TTerminalState::Working);
            for (;;) {
                if (Terminated()) {
                    SetState(TTerminalState::Stopped);
                    LogMessage("Поток работы с GSM терминалом завершен.");
                    return;
                }
                if (WorkingPass())
                    break;
                SleepMs(FPassPauseMs);
            }
        } catch (...) {
            // Only an allocation failure can get here; a fresh start is the best answer.
        }
        ClosePort();
        LogMessage("Выполним инициализацию повторно");
    }
}

void TSiemens::OpenLoop() {
    LogMessage("Открытие порта \"%s\"", FPortName.c_str());
    SetState(TTerminalState::Opening);
    uint32_t lastError = 0;
    while (!Terminated()) {
        if (OpenPort()) {
            LogMessage("ОК");
            LogMessage("Инициализация GSM терминала...");
            return;
        }
        if (FComPort.LastError() != lastError) {
            lastError = FComPort.LastError();
            LogMessage("Ошибка открытия %s: %s [%lu]", FComPort.PortName().c_str(),
                       FComPort.ErrorText().c_str(), static_cast<unsigned long>(lastError));
        }
        SleepMs(FRetryPauseMs);
    }
}

// Returns true when the port itself went away: retrying the commands on a dead descriptor
// would never succeed, so the caller opens the port again.
bool TSiemens::InitLoop() {
    SetState(TTerminalState::Initializing);
    int32_t lastCode = FErrorCode;
    while (!Terminated()) {
        if (InitTerminal()) {
            LogMessage("Инициализация GSM терминала успешно завершена");
            LogMessage("Начинаем работу...");
            return false;
        }
        if (FErrorCode != lastCode) {
            lastCode = FErrorCode;
            LogMessage("Ошибка: %s [код=%d]", ResultText(lastCode).c_str(), lastCode);
        }
        FComPort.InQueue(); // refreshes the error flags
        if (FComPort.HasErrors())
            return true;
        SleepMs(FRetryPauseMs);
    }
    return false;
}

bool TSiemens::WorkingPass() {
    bool reinitialise = false;
    SendFirstQueued(reinitialise);
    if (!ReceiveSMS() && FErrorCode != static_cast<int32_t>(TGsmResult::NoSMS) && !Terminated()) {
        LogMessage("Ошибка получения SMS: %s [код=%d]", ResultText(FErrorCode).c_str(), FErrorCode);
        reinitialise = true;
    }
    CheckForRing();
    return reinitialise;
}

// The message stays queued while it is sent, so a failure that points to the terminal leaves
// it first in line for the next attempt.
void TSiemens::SendFirstQueued(bool& reinitialise) {
    TSMS sms;
    if (!FOutgoing.Peek(sms))
        return;
    sms.Telephone = DigitsOnly(sms.Telephone);
    if (sms.Transliterate)
        sms.Text = TransliterateText(sms.Text);
    if (SendSMS(sms.Telephone, sms.Text, sms.Flash)) {
        FOutgoing.Pop(sms);
        LogMessage("SMS тел=\"%s\" текст=\"%s\" отправлена", sms.Telephone.c_str(),
                   sms.Text.c_str());
        return;
    }
    LogMessage("Ошибка отправки SMS: %s [тел=\"%s\" текст=\"%s\" код=%d]",
               ResultText(FErrorCode).c_str(), sms.Telephone.c_str(), sms.Text.c_str(), FErrorCode);
    if (IsHopeless(FErrorCode)) {
        FOutgoing.Pop(sms);
        return;
    }
    reinitialise = true;
}

} // namespace qvx
