#include "service/QuorvexSMSSvc.h"

#include "infra/Codepage.h"
#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Error.h"
#include "service/StatusReport.h"
#include "service/StatusWire.h"

#include <ctime>
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
    // Meanwhile the host keeps answering control requests. A stop that comes meanwhile is
    // honoured at once: the worker's database calls end at its stop, and the start ends
    // without the ready line, so that the host goes straight on to the stop.
    while (FWorkThread->StartResult() == -1) {
        if (ProcessRequests()) {
            FWorkThread->Terminate();
            return;
        }
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

std::string TQuorvexSMSSvc::StatusText() const {
    if (!FWorkThread)
        return {};
    return Cp1251ToUtf8(StatusShort(FWorkThread->Status()));
}

// Before the worker exists (early in the start) the status says only that the service starts.
std::string TQuorvexSMSSvc::StatusReport() const {
    TWorkerStatus status;
    if (FWorkThread) {
        status = FWorkThread->Status();
    } else {
        status.Now = std::time(nullptr);
        status.StartedAt = status.Now;
    }
    return EncodeStatus(status);
}

bool TQuorvexSMSSvc::Healthy(uint32_t maxSilenceMs) const {
    return FWorkThread && uint32_t(GetTickCount() - FWorkThread->Heartbeat()) < maxSilenceMs;
}

} // namespace qvx
