#include "service/QuorvexSMSSvc.h"

#include "infra/Codepage.h"
#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Error.h"

#include <thread>

namespace qvx {

TQuorvexSMSSvc::TQuorvexSMSSvc(std::string dir)
    : FDir(std::move(dir)), tmrProcessSMS(
                                ProcessSMSInterval, [this] { tmrProcessSMSTimer(); }, FTickSource) {
}

TQuorvexSMSSvc::~TQuorvexSMSSvc() {
    ReleaseWork();
}

void TQuorvexSMSSvc::StartWork() {
    SetExeDir(FDir);
    SetLogFileName(ExeDir() + "QuorvexSMS.log");
    WriteLog("%s", "");
    WriteLog("*** Производится запуск службы... ***");
    FConfig = std::make_unique<TConfig>(ExeDir());
    FWorkThread = std::make_unique<TWorkThread>(*FConfig);
    if (!FWorkThread->Start())
        throw EServiceError("Не удалось создать рабочий поток");
    // No time limit: the worker's own timeouts (database connection, port) bound its start.
    // Meanwhile the host keeps answering control requests and remembers a stop for later.
    while (FWorkThread->StartResult() == -1) {
        ProcessRequests();
        std::this_thread::sleep_for(std::chrono::milliseconds(StartPollMs));
    }
    WriteLog("*** Служба готова к работе ***");
    tmrProcessSMS.Start();
}

void TQuorvexSMSSvc::ServiceStart(bool& started) {
    try {
        StartWork();
        started = true;
        return;
    } catch (const std::exception& error) {
        WriteLog("При запуске службы произошла ошибка: %s", error.what());
    } catch (...) {
        WriteLog("При запуске службы произошла ошибка: %s", "");
    }
    WriteLog("Служба не может быть запущена");
    ReleaseWork();
    started = false;
}

void TQuorvexSMSSvc::ServiceStop(bool& /*stopped*/) {
    StopWork();
}

void TQuorvexSMSSvc::ServiceShutdown() {
    WriteLog("Обнаружено завершение работы операционной системы...");
    StopWork();
}

void TQuorvexSMSSvc::StopWork() {
    WriteLog("*** Служба завершает работу ***");
    ReleaseWork();
}

void TQuorvexSMSSvc::ReleaseWork() noexcept {
    // The timer goes first: once Stop returns no tick can reach the worker any more.
    tmrProcessSMS.Stop();
    if (FWorkThread) {
        FWorkThread->Terminate();
        FWorkThread->WaitFor();
        FWorkThread.reset();
    }
    FConfig.reset();
}

bool TQuorvexSMSSvc::HandleCustomControl(int32_t code) {
    if (!FWorkThread)
        return false;
    if (code == CommandProcess) {
        WriteLog("Получена внешняя команда обработки SMS...");
        FWorkThread->RequestSendNow();
    } else if (code == CommandReload) {
        WriteLog("Получена внешняя команда перезагрузки конфигурации...");
    }
    // Other codes reach the worker too, which leaves them alone.
    FWorkThread->PostCommand(code);
    return true;
}

void TQuorvexSMSSvc::tmrProcessSMSTimer() {
    // The send-now flag is only ever set here: clearing it could take back the request of
    // an external command that the worker has not taken yet.
    if (SendCountdownTick(FSendCountdown))
        FWorkThread->RequestSendNow();
    FWorkThread->PostCommand(CommandProcess);
}

namespace {

const char* StartText(int32_t startResult) {
    switch (startResult) {
    case -1:
        return "запускается";
    case 0:
        return "ошибка запуска, ждёт перезагрузки настроек";
    case StartWaitingForDatabase:
        return "ждёт подключения к базе данных";
    default:
        return "работает";
    }
}

const char* TerminalText(int32_t state) {
    switch (state) {
    case 0:
        return "создан";
    case 1:
        return "открытие порта";
    case 2:
        return "инициализация";
    case 3:
        return "работает";
    case 4:
        return "остановлен";
    default:
        return "нет";
    }
}

} // namespace

std::string TQuorvexSMSSvc::StatusText() const {
    if (!FWorkThread)
        return {};
    const std::string text = std::string("Служба: ") + StartText(FWorkThread->StartResult()) +
                             "; терминал: " + TerminalText(FWorkThread->TerminalState()) +
                             "; к отправке: " + std::to_string(FWorkThread->OutgoingCount()) +
                             "; принято: " + std::to_string(FWorkThread->IncomingCount());
    return Cp1251ToUtf8(text);
}

bool TQuorvexSMSSvc::Healthy(uint32_t maxSilenceMs) const {
    return FWorkThread && uint32_t(GetTickCount() - FWorkThread->Heartbeat()) < maxSilenceMs;
}

} // namespace qvx
