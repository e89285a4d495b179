// The terminal thread: opening the port, initialising the terminal, and the working loop that
// sends, receives and watches unsolicited results until a failure asks for a fresh start.
#include "terminal/Siemens.h"

#include "infra/LogFile.h"
#include "infra/RepeatedFailure.h"
#include "infra/Transliterate.h"
#include "terminal/Pdu.h"

namespace qvx {

namespace {

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
            FNetworkQueried = false;
            for (;;) {
                if (Terminated()) {
                    SetState(TTerminalState::Stopped);
                    LogMessage("Поток работы с GSM терминалом завершен.");
                    return;
                }
                // Between passes, so that the queries never land inside another dialogue.
                if (NetworkQueryDue())
                    QueryNetwork();
                if (WorkingPass())
                    break;
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
    TRepeatedFailure failure;
    while (!Terminated()) {
        HoldLog(failure.Active());
        if (OpenPort()) {
            LogLines(failure.Succeeded());
            ReleaseHeldLog(true);
            LogMessage("ОК");
            LogMessage("Инициализация GSM терминала...");
            return;
        }
        const std::string line = FormatMessage(
            "Ошибка открытия %s: %s [%lu]", FComPort.PortName().c_str(),
            FComPort.ErrorText().c_str(), static_cast<unsigned long>(FComPort.LastError()));
        ReleaseHeldLog(!failure.Repeats(line));
        LogLines(failure.Failed(line));
        SleepMs(FRetryPauseMs);
    }
}

void TSiemens::ReleaseHeldLog(bool write) {
    FHoldLog = false;
    if (write)
        LogLines(FHeldLog);
    FHeldLog.clear();
}

// Written at once, past a hold: these lines are the decisions about the held ones.
void TSiemens::LogLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        AppendLogLine(FLogFileName, EscapeCrLf(line));
}

// Returns true when the port itself went away: retrying the commands on a dead descriptor
// would never succeed, so the caller opens the port again.
bool TSiemens::InitLoop() {
    SetState(TTerminalState::Initializing);
    TRepeatedFailure failure;
    while (!Terminated()) {
        HoldLog(failure.Active());
        if (InitTerminal()) {
            LogLines(failure.Succeeded());
            ReleaseHeldLog(true);
            LogMessage("Инициализация GSM терминала успешно завершена");
            LogMessage("Начинаем работу...");
            return false;
        }
        const std::string line =
            FormatMessage("Ошибка: %s [код=%d]", ResultText(FErrorCode).c_str(), FErrorCode);
        ReleaseHeldLog(!failure.Repeats(line));
        LogLines(failure.Failed(line));
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
    if (!FOutgoing.PeekForSubmission(sms))
        return;
    if (!StillDue(sms))
        return;
    TSMS submitted = sms;
    submitted.Telephone = DigitsOf(sms.Telephone);
    if (submitted.Transliterate)
        submitted.Text = TransliterateText(sms.Text);
    if (SendSMS(submitted.Telephone, submitted.Text, submitted.Flash)) {
        FOutgoing.Pop(sms);
        FRefusalCount = 0;
        LogMessage("SMS тел=\"%s\" текст=\"%s\" отправлена", sms.Telephone.c_str(),
                   sms.Text.c_str());
        Report({sms.MsgId, TOutcomeKind::Acknowledged, 0, sms.Telephone, {}, FReferences});
        return;
    }
    LogMessage("Ошибка отправки SMS: %s [тел=\"%s\" текст=\"%s\" код=%d]",
               ResultText(FErrorCode).c_str(), submitted.Telephone.c_str(), submitted.Text.c_str(),
               FErrorCode);
    reinitialise = !GiveUpAfterFailure(sms);
}

bool TSiemens::StillDue(const TSMS& sms) {
    if (!FSendCheck)
        return true;
    std::string reason;
    const TSendVerdict verdict = FSendCheck(sms, reason);
    if (verdict == TSendVerdict::Send)
        return true;
    if (verdict == TSendVerdict::GiveUp) {
        LogMessage("SMS тел=\"%s\" не отправлена: %s", sms.Telephone.c_str(), reason.c_str());
        GiveUp(sms, static_cast<int32_t>(TGsmResult::OK), std::move(reason));
        return false;
    }
    TSMS taken;
    FOutgoing.Pop(taken);
    LogMessage("SMS тел=\"%s\" отложена: %s", sms.Telephone.c_str(), reason.c_str());
    Report({sms.MsgId, TOutcomeKind::Returned, 0, sms.Telephone, std::move(reason), {}});
    return false;
}

// A refusal counts against the message only when the network refused this very message
// again; any other failure is the terminal's and leaves the count alone.
bool TSiemens::GiveUpAfterFailure(const TSMS& sms) {
    if (IsHopeless(FErrorCode)) {
        GiveUp(sms, FErrorCode, ResultText(FErrorCode));
        return true;
    }
    if (!FRefusal.empty()) {
        if (FRefusalCount == 0 || FRefused != sms) {
            FRefused = sms;
            FRefusalCount = 0;
        }
        if (++FRefusalCount >= RefusalsToGiveUp) {
            FRefusalCount = 0;
            GiveUp(sms, FErrorCode, "сеть отклонила сообщение (" + FRefusal + ")");
            return true;
        }
    }
    FOutgoing.ReleaseHead();
    return false;
}

void TSiemens::GiveUp(const TSMS& sms, int32_t code, std::string reason) {
    TSMS taken;
    FOutgoing.Pop(taken);
    Report({sms.MsgId, TOutcomeKind::GivenUp, code, sms.Telephone, std::move(reason), {}});
}

void TSiemens::Report(TOutcome outcome) {
    FOutcomes.Push(std::move(outcome));
    if (FOnOutcome)
        FOnOutcome();
}

} // namespace qvx
