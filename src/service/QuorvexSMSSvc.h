// TQuorvexSMSSvc, the service module: starts and stops the worker, turns the ticks of its
// one-second timer tmrProcessSMS and the external control codes into worker commands, and
// writes the service's own start, stop and command lines to the service log. It never touches
// the database or the terminal. The handlers run on the service host's thread, the timer
// handler on the timer's thread.
#pragma once

#include "infra/Config.h"
#include "processing/WorkThread.h"
#include "service/SendCountdown.h"
#include "service/Service.h"
#include "service/Timer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qvx {

constexpr auto ProcessSMSInterval = std::chrono::milliseconds(1000);
// How often StartWork looks whether the worker has finished its initialisation.
constexpr uint32_t StartPollMs = 10;

class TQuorvexSMSSvc : public TService {
public:
    // dir: the directory of the INI file and the logs (ExeDir), with its trailing '/'.
    explicit TQuorvexSMSSvc(std::string dir);
    ~TQuorvexSMSSvc() override;

    void ServiceStart(bool& started) override;
    void ServiceStop(bool& stopped) override;
    void ServiceShutdown() override;
    bool HandleCustomControl(int32_t code) override;

    std::string StatusText() const override;
    std::string StatusReport() const override;
    bool Healthy(uint32_t maxSilenceMs) const override;

private:
    void StartWork();
    void StopWork();
    void ReleaseWork() noexcept;
    void tmrProcessSMSTimer();

    std::string FDir;
    std::unique_ptr<TConfig> FConfig;
    std::unique_ptr<TWorkThread> FWorkThread;
    // Written only by the timer's thread once the timer runs.
    int32_t FSendCountdown = InitialSendCountdown;
    TSteadyTickSource FTickSource;
    TTimer tmrProcessSMS;
};

} // namespace qvx
