// Starting and stopping the worker's terminals: one TSiemens thread per configured section,
// each with its own log, and what a stopped one learnt kept for the next.
#include "infra/LogFile.h"
#include "processing/DeliveryRules.h"
#include "processing/Error.h"
#include "processing/WorkThread.h"

#include <algorithm>
#include <random>
#include <thread>

namespace qvx {

namespace {

// Random for each terminal's first start, so that the first long message after a restart (a
// kill too) is not joined with a recent one by the subscriber's phone.
uint8_t RandomOctet() noexcept {
    try {
        std::random_device random;
        return static_cast<uint8_t>(random() & 0xFF);
    } catch (...) {
        // Without an entropy source the clock still differs from one start to the next.
        return static_cast<uint8_t>(GetTickCount() & 0xFF);
    }
}

std::string TerminalLogName(const TTerminalConfig& terminal) {
    return terminal.Number == 1 ? "Siemens.log" : "Siemens-" + terminal.Name + ".log";
}

} // namespace

void TWorkThread::StartTerminals() {
    StopTerminals();
    const std::vector<std::string> problems = TerminalProblems(FConfig.Terminals);
    if (!problems.empty()) {
        for (const std::string& problem : problems)
            WriteLog("Ошибка: %s", problem.c_str());
        throw EServiceError("Разделы GSM терминалов в INI файле противоречат друг другу");
    }
    std::vector<const TTerminalConfig*> configured;
    for (const TTerminalConfig& terminal : FConfig.Terminals)
        if (!terminal.Device.empty())
            configured.push_back(&terminal);
    if (configured.empty())
        throw EServiceError("Не задан порт GSM терминала (параметр 'Device')");
    const bool several = configured.size() > 1;
    int32_t longestWait = 0;
    for (const TTerminalConfig* terminal : configured)
        longestWait = std::max(longestWait, terminal->ModemTimeoutMs);
    FClaimSession.SetModemTimeoutMs(longestWait);
    // The dispatch knows every terminal before the first runs: whatever reads a running one's
    // part of it (the status) finds it there.
    std::vector<TTerminalConfig> configs;
    for (const TTerminalConfig* terminal : configured)
        configs.push_back(*terminal);
    FDispatch = TDispatch(std::move(configs));
    FTerminals.reserve(configured.size());
    try {
        for (const TTerminalConfig* terminal : configured)
            StartTerminal(*terminal, several);
    } catch (...) {
        StopTerminals();
        throw;
    }
}

void TWorkThread::StartTerminal(const TTerminalConfig& config, bool several) {
    const std::string tag = several ? " [" + config.Name + "]" : "";
    try {
        TTerminalCarry& carry = FCarry[config.Number];
        if (!carry.ConcatRef)
            carry.ConcatRef = RandomOctet();
        TSiemensOptions options;
        options.Session.Device = config.Device;
        options.Session.LogFileName = ExeDir() + TerminalLogName(config);
        options.Session.Settings = config.Settings();
        options.Session.RefusedPin = carry.RefusedPin;
        options.Session.Handled = carry.Handled;
        options.Session.HandledSim = carry.EntriesSim;
        // Entries are kept by SIM, which its ICCID names: only a terminal that lists needs it.
        options.Session.QueryIccid = config.Receive;
        options.Session.KeptEntries = KeptEntries();
        options.Session.UnnamedSim = UnnamedSim(config.Number);
        options.Session.HoldUntilConfirmed = true;
        options.Session.Awaiting = carry.Awaiting;
        options.Session.Confirmed = carry.Confirmed;
        options.Session.ConcatRef = *carry.ConcatRef;
        // The daily count belongs to the SIM, which the IMSI names; the IMEI would name the
        // modem.
        options.Session.QueryImsi = config.DailyLimit > 0;
        options.Session.PinAttempt = [this](const std::string& iccid, const std::string& pin) {
            return FKeeper.PinAttempt(iccid, pin);
        };
        options.Session.PinVerdict = [this](const std::string& iccid, const std::string& pin,
                                            bool accepted) {
            FKeeper.PinVerdict(iccid, pin, accepted);
        };
        options.OnOutcome = [this] {
            FOutcomesPending.store(true);
            Wake();
        };
        FSendOldHours.store(FConfig.SmsOldHours);
        options.SendCheck = [this, timeSource = FTimeSource](const TSMS& sms, std::string& reason) {
            return VerdictAtHead(sms, timeSource(), FSendOldHours.load(), reason);
        };
        options.ClaimCheck = [this](const TSMS& sms, uint64_t lastAckBootMs) {
            return FClaimSession.MayStart(sms.ClaimSession, lastAckBootMs);
        };
        options.Receive = config.Receive;
        auto siemens = std::make_unique<TSiemens>(std::move(options));
        if (!siemens->Start())
            throw EServiceError("Не удалось запустить поток GSM терминала");
        TTerminalSlot& slot = FTerminals.emplace_back();
        slot.Config = config;
        slot.Siemens = std::move(siemens);
    } catch (...) {
        WriteLog("Не удалось инициализировать GSM терминал%s", tag.c_str());
        throw;
    }
}

void TWorkThread::StopTerminals() {
    if (FTerminals.empty()) {
        FDispatch = TDispatch();
        return;
    }
    // Every thread is asked first, so that the terminals stop together.
    for (TTerminalSlot& slot : FTerminals)
        slot.Siemens->Terminate();
    // A terminal hears out the network's answer to a part already sent, which may take as long
    // as the grace; the worker counts as alive meanwhile, so that a reload is not taken for a
    // stall by the watchdog. A terminal that takes longer is one.
    const uint32_t start = GetTickCount();
    for (TTerminalSlot& slot : FTerminals) {
        while (!slot.Siemens->Finished() && GetTickCount() - start < FClaimSession.GraceMs()) {
            FHeartbeat.store(GetTickCount());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        slot.Siemens->WaitFor();
    }
    for (size_t t = 0; t < FTerminals.size(); ++t) {
        TakeOutcomes(t);
        KeepFromStopped(FTerminals[t]);
    }
    // Whatever is still pending, queued or waiting for a late answer was never stamped: a
    // later pass hands it over again.
    FClaims.Release(FDispatch.Unfinished());
    FDispatch = TDispatch();
    FTerminals.clear();
    FKeeper.Save();
    FLedger.TerminalStopped();
    FNoTerminalSince = std::time(nullptr);
    UpdateStatus();
}

void TWorkThread::KeepFromStopped(TTerminalSlot& slot) {
    TSiemens& siemens = *slot.Siemens;
    TSMS sms;
    while (siemens.GetReceivedSMS(sms)) {
        sms.Terminal = slot.Config.Number;
        FIncoming.Keep(sms);
    }
    TTerminalCarry& carry = FCarry[slot.Config.Number];
    carry.RefusedPin = siemens.RefusedPin();
    carry.Handled = siemens.Handled();
    if (const std::optional<std::string> iccid = siemens.Iccid())
        carry.EntriesSim = EntriesSimOf(*iccid, slot.Config.Number);
    carry.Awaiting = siemens.Awaiting();
    carry.Confirmed = siemens.Confirmed();
    carry.ConcatRef = siemens.NextConcatRef();
    KeepEntries(slot.Config.Number);
}

std::string TWorkThread::TerminalTag(int32_t number) const {
    if (!FDispatch.Several())
        return {};
    for (const TTerminalConfig& terminal : FConfig.Terminals)
        if (terminal.Number == number)
            return " [" + terminal.Name + "]";
    return {};
}

// The entries whose deletion failed go into the state file before their messages are
// answered. The ICCID is read first: a terminal publishes its SIM's entries before it.
void TWorkThread::KeepHandledNow() {
    for (const TTerminalSlot& slot : FTerminals) {
        const std::optional<std::string> iccid = slot.Siemens->Iccid();
        if (!iccid)
            continue; // not up yet: its entries are still those it started with
        TTerminalCarry& carry = FCarry[slot.Config.Number];
        carry.EntriesSim = EntriesSimOf(*iccid, slot.Config.Number);
        carry.Handled = slot.Siemens->HandledNow();
        KeepEntries(slot.Config.Number);
    }
    FKeeper.Save();
}

} // namespace qvx
