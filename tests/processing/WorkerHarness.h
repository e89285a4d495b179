// A real TWorkThread in a temporary folder: its INI file, its service log and the terminal
// log live there, its database is a fresh PostgreSQL database, and its terminal is whatever
// the test names as Device. Helpers wait for the worker's loop and read the service log.
#pragma once

#include "gsmsim/GsmSimulator.h"
#include "infra/LogFile.h"
#include "processing/WorkThread.h"
#include "support/PgFixture.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qvx::test {

class TWorkerTest : public TPgTest {
protected:
    void SetUp() override {
        TPgTest::SetUp();
        if (HasFatalFailure())
            return;
        SetExeDir(FDir.Path());
        SetLogFileName(FDir.File("QuorvexSMS.log"));
        FConfig = std::make_unique<TConfig>(FDir.Path());
    }

    // The zone is put back only after the worker has stopped: its threads read the local time.
    void TearDown() override {
        StopWorker();
        FZone.reset();
    }

    // Sets TZ for the rest of the test; call it before the worker starts.
    void UseZone(const std::string& zone) { FZone.emplace(zone); }

    // The INI file: this test's database plus the given [GSMTerminal] lines.
    void WriteIni(const std::string& terminalLines) {
        FDir.Write("QuorvexSMS.ini",
                   FDb->IniSection() + "[GSMTerminal]\r\n" + terminalLines + "\r\n");
    }

    // Starts the worker and waits until its first initialisation has ended.
    void StartWorker() {
        FWorker = std::make_unique<TWorkThread>(*FConfig);
        FWorker->FTimeSource = [this] { return std::time(nullptr) + FClockShiftSec.load(); };
        ASSERT_TRUE(FWorker->Start()) << "the worker thread must start";
        ASSERT_TRUE(WaitUntil([this] { return FWorker->StartResult() != -1; }))
            << "the worker's initialisation must end";
    }

    void StopWorker() {
        if (!FWorker)
            return;
        FWorker->Terminate();
        FWorker->WaitFor();
        FWorker.reset();
    }

    // Waits until the worker has finished two more turns of its loop, so that every request
    // posted before the call has been taken and handled.
    void WaitTurns() {
        const uint32_t turns = FWorker->Turns();
        ASSERT_TRUE(WaitUntil([&] { return FWorker->Turns() - turns >= 2; }))
            << "the worker's loop must keep turning";
    }

    // One processing cycle, with a sending pass when asked, handled to its end.
    void Cycle(bool sendNow) {
        if (sendNow)
            FWorker->RequestSendNow();
        FWorker->PostCommand(CommandProcess);
        WaitTurns();
    }

    std::vector<std::string> Log() const { return LogMessages(FDir.Read("QuorvexSMS.log")); }
    // Log messages written since the given count of messages.
    std::vector<std::string> LogSince(size_t count) const {
        const auto all = Log();
        return std::vector<std::string>(
            all.begin() + static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end());
    }
    bool LogHas(const std::string& message) const {
        for (const auto& line : Log())
            if (line == message)
                return true;
        return false;
    }
    bool WaitLog(const std::string& message, int timeoutMs = 10000) const {
        return WaitUntil([&] { return LogHas(message); }, timeoutMs);
    }

    // Registers an SMS delivery for a new subscriber; returns its msgid.
    int32_t AddMessage(const std::string& phoneSql, const std::string& textSql,
                       int minutesAgo = 1) {
        const auto id = FDb->Scalar(
            "WITH a AS (INSERT INTO abonents (cellphone, name) VALUES (" + phoneSql +
            ", 'T') RETURNING abonentid), m AS (INSERT INTO msglog (abonentid, msgtext, regdt) "
            "SELECT abonentid, " +
            textSql + ", LOCALTIMESTAMP - interval '" + std::to_string(minutesAgo) +
            " minutes' FROM a RETURNING msgid) INSERT INTO msgdelivery (msgid, chanid) SELECT "
            "msgid, 0 FROM m RETURNING msgid");
        return std::stoi(id.value());
    }
    bool IsSent(int32_t msgId) const {
        return FDb
            ->Scalar("SELECT sentdt FROM msgdelivery WHERE chanid = 0 AND msgid = " +
                     std::to_string(msgId))
            .has_value();
    }
    // Rows are stamped once the terminal reports their messages acknowledged.
    bool WaitSent(std::initializer_list<int32_t> msgIds, int timeoutMs = 10000) const {
        return WaitUntil(
            [&] {
                for (const int32_t id : msgIds)
                    if (!IsSent(id))
                        return false;
                return true;
            },
            timeoutMs);
    }

    TTempDir FDir;
    std::unique_ptr<TConfig> FConfig;
    std::optional<TZoneGuard> FZone;
    std::unique_ptr<TWorkThread> FWorker;
    // Moves the clock of the worker's sending rules (window and lifetime).
    std::atomic<int64_t> FClockShiftSec{0};
};

// The worker with the terminal simulator as its GSM terminal: a real TSiemens drives the
// simulator's pseudo-terminal through a link in the test folder.
class TSimWorkerTest : public TWorkerTest {
protected:
    void SetUp() override {
        TWorkerTest::SetUp();
        if (HasFatalFailure())
            return;
        FSim.SetLinkPath(FDir.File("modem"));
        ASSERT_TRUE(FSim.Start()) << "simulator: " << FSim.LastError();
        WriteIni("Device=" + FSim.LinkPath());
    }

    // Starts the worker and waits until its terminal is working.
    void StartReady() {
        StartWorker();
        ASSERT_EQ(FWorker->StartResult(), 1) << "the worker must start";
        WaitTerminalReady();
    }
    void WaitTerminalReady() {
        ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().TerminalState.load() == 3; }))
            << "the terminal must reach the working state, it is in "
            << FWorker->Counters().TerminalState.load();
    }
    // Reloads and waits until the new terminal works.
    void Reload(int timeoutMs = 10000) {
        const auto applied = [this] {
            size_t count = 0;
            for (const auto& line : Log())
                count += line == "Новые настройки применены";
            return count;
        };
        const size_t before = applied();
        FWorker->PostCommand(CommandReload);
        ASSERT_TRUE(WaitUntil([&] { return applied() > before; }, timeoutMs))
            << "the reload must end";
        WaitTerminalReady();
    }
    // Decoded texts (UTF-8) of the messages the simulator received, in order.
    std::vector<std::string> SubmittedTexts() const {
        std::vector<std::string> texts;
        for (const auto& sms : FSim.Submitted())
            texts.push_back(sms.View.Text);
        return texts;
    }

    TGsmSimulator FSim;
};

} // namespace qvx::test
