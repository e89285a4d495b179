// Shared set-up of the terminal tests: a simulated GSM terminal on a pseudo-terminal, reached
// through a link in a fresh directory that also holds the terminal log; an AT session driven
// step by step, or the terminal thread; helpers that read that log and play late answers.
#pragma once

#include "gsmsim/GsmSimulator.h"
#include "infra/LogFile.h"
#include "support/TempDir.h"
#include "support/Waiting.h"
#include "terminal/Siemens.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qvx::test {

class TTerminalFixture : public ::testing::Test {
protected:
    // A thread that is never started: its Terminate() stops the session's waits.
    class TIdleOwner : public TThread {
        void Execute() override {}
    };

    void SetUp() override {
        FSim.SetLinkPath(FDir.File("modem"));
        ASSERT_TRUE(FSim.Start()) << FSim.LastError();
    }

    void TearDown() override {
        StopTerminal();
        FOwner.Terminate();
        for (std::thread& helper : FHelpers)
            if (helper.joinable())
                helper.join();
        FSession.reset();
        FSim.Stop();
    }

    // Short pauses keep the suite fast; the answer timeout stays at a whole second because
    // the prompt is awaited in whole seconds.
    TAtSessionOptions Options() const {
        TAtSessionOptions options;
        options.Device = FDir.File("modem");
        options.LogFileName = FDir.File("Siemens.log");
        options.Settings.ModemTimeoutMs = 1000;
        options.RetryPauseMs = 20;
        options.PassPauseMs = 5;
        return options;
    }

    // A session with the port open and, when asked, the terminal initialised; the log is
    // emptied afterwards.
    void OpenSession(TAtSessionOptions options, bool initialise = true) {
        FSession.reset(); // the previous one lets go of the port first
        FSession = std::make_unique<TAtSession>(std::move(options), &FOwner);
        ASSERT_FALSE(FSession->Open().has_value());
        if (initialise) {
            ASSERT_EQ(FSession->Initialise(), TGsmResult::OK) << LogText();
        }
        FDir.Write("Siemens.log", "");
    }
    void OpenSession(bool initialise = true) { OpenSession(Options(), initialise); }

    void StartTerminal(TSiemensOptions options) {
        FTerminal = std::make_unique<TSiemens>(std::move(options));
        ASSERT_TRUE(FTerminal->Start());
    }
    TSiemensOptions ThreadOptions() const {
        TSiemensOptions options;
        options.Session = Options();
        return options;
    }

    void StopTerminal() {
        if (!FTerminal)
            return;
        FTerminal->Terminate();
        FTerminal->WaitFor();
    }

    // Flushes until the saved text holds count bytes: what the terminal sent has arrived.
    bool FlushUntil(size_t count) {
        return WaitUntil([&] {
            FSession->FlushSave();
            return FSession->Saved().size() >= count;
        });
    }

    // A message prepared as the worker prepares one.
    static TQueuedSms Queued(const std::string& phone, const std::string& text, int32_t msgId = 0,
                             bool flash = false) {
        TQueuedSms queued{{phone, text, flash, false, msgId, 0}, {DigitsOf(phone), text, {}}};
        EncodeSubmit(queued.Prepared.Digits, text, flash, 0, queued.Prepared.Parts);
        return queued;
    }

    // Messages of the terminal log, without their date and time; lines are cp1251.
    std::vector<std::string> LogLines() const { return LogMessages(FDir.Read("Siemens.log")); }

    std::string LogText() const {
        std::string all;
        for (const std::string& line : LogLines())
            all += line + "\n";
        return all;
    }

    size_t CountLines(const std::string& message) const {
        size_t count = 0;
        for (const std::string& line : LogLines())
            count += line == message;
        return count;
    }

    bool HasLine(const std::string& message) const { return CountLines(message) > 0; }

    static bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
        return test::WaitUntil(condition, timeoutMs, 2);
    }

    bool WaitForLine(const std::string& message, size_t count = 1, int timeoutMs = 10000) {
        return WaitUntil([&] { return CountLines(message) >= count; }, timeoutMs);
    }

    bool WaitForState(TTerminalState state, int timeoutMs = 10000) {
        return WaitUntil([&] { return FTerminal->GetState() == static_cast<int32_t>(state); },
                         timeoutMs);
    }

    // Plays a late answer: once the terminal has received the count-th command with this
    // head, the bytes are sent as if the terminal answered it.
    void AnswerAfter(const std::string& head, int32_t count, std::string bytes) {
        FHelpers.emplace_back([this, head, count, bytes] {
            if (FSim.WaitForCommandCount(head, count, 10000))
                FSim.InjectBytes(bytes);
        });
    }

    TTempDir FDir;
    TGsmSimulator FSim;
    TIdleOwner FOwner;
    std::unique_ptr<TAtSession> FSession;
    std::unique_ptr<TSiemens> FTerminal;
    std::vector<std::thread> FHelpers;
};

} // namespace qvx::test
