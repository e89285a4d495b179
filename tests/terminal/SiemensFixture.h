// Shared set-up of the TSiemens tests: a simulated GSM terminal on a pseudo-terminal, reached
// through a link in a fresh directory that also holds the terminal log, and helpers that read
// that log and play unsolicited or late answers.
#pragma once

#include "gsmsim/GsmSimulator.h"
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

class TSiemensFixture : public ::testing::Test {
protected:
    void SetUp() override {
        FSim.SetLinkPath(FDir.File("modem"));
        ASSERT_TRUE(FSim.Start()) << FSim.LastError();
        FTerminal = MakeTerminal(FDir.File("modem"));
    }

    void TearDown() override {
        StopTerminal();
        for (std::thread& helper : FHelpers)
            if (helper.joinable())
                helper.join();
        FSim.Stop();
    }

    // Short pauses keep the suite fast; the answer timeout stays at a whole second because
    // the prompt is awaited in whole seconds.
    std::unique_ptr<TSiemens> MakeTerminal(const std::string& port) {
        auto terminal = std::make_unique<TSiemens>(port, FDir.File("Siemens.log"));
        terminal->FSettings.ModemTimeoutMs = 1000;
        terminal->FRetryPauseMs = 20;
        terminal->FPassPauseMs = 5;
        return terminal;
    }

    void StopTerminal() {
        if (!FTerminal)
            return;
        FTerminal->Terminate();
        FTerminal->WaitFor();
    }

    // For direct calls on a terminal that is not started: the port opened and the terminal
    // switched to text errors without echo, as the initialisation leaves it.
    void OpenDirect(bool initialise = true) {
        ASSERT_TRUE(FTerminal->OpenPort()) << FTerminal->FComPort.ErrorText();
        if (initialise) {
            ASSERT_TRUE(FTerminal->InitTerminal()) << LogText();
        }
        FDir.Write("Siemens.log", "");
    }

    // Messages of the terminal log, without their date and time; lines are cp1251.
    std::vector<std::string> LogLines() const {
        const std::string text = FDir.Read("Siemens.log");
        std::vector<std::string> lines;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(pos, end - pos);
            const size_t stamp = line.find("  ");
            lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            pos = end + 2;
        }
        return lines;
    }

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

    // Waits until count bytes are waiting on the (not started) terminal's port.
    bool WaitForInput(int32_t count) {
        return WaitUntil([&] { return FTerminal->FComPort.InQueue() >= count; });
    }

    TTempDir FDir;
    TGsmSimulator FSim;
    std::unique_ptr<TSiemens> FTerminal;
    std::vector<std::thread> FHelpers;
};

} // namespace qvx::test
