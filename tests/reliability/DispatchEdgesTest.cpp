// The edges of sharing work among terminals and hosts, around the real quorvexsms program: a
// terminal the network never registers, a host whose only terminal is gone while its program
// lives, a network that acknowledges every submission after the program stopped waiting, and
// a terminal that hangs between its prompt and the PDU while two others work.
#include "infra/Codepage.h"
#include "infra/LogFile.h"
#include "reliability/ReliabilityHarness.h"

#include <algorithm>
#include <csignal>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

class DispatchEdgesTest : public TReliabilityTest {
protected:
    // Terminal 1 (FSim) and count - 1 more in the INI file, each answering after answerDelayMs.
    void AddTerminals(int32_t count, uint32_t answerDelayMs) {
        std::string sections;
        FTerminals = {&FSim};
        for (int32_t number = 2; number <= count; ++number) {
            FTerminals.push_back(&AddSimulator(FDir, "modem" + std::to_string(number)));
            sections += TerminalSection(number, *FTerminals.back());
        }
        WriteIni(sections);
        for (TGsmSimulator* sim : FTerminals)
            sim->SetAnswerDelayMs(answerDelayMs);
    }
    std::vector<const TGsmSimulator*> Sims() const {
        return {FTerminals.begin(), FTerminals.end()};
    }
    // Acknowledged by each terminal: "12 / 30 / 7".
    std::string Acknowledged() const {
        std::string counts;
        for (const TGsmSimulator* sim : FTerminals)
            counts += (counts.empty() ? "" : " / ") + std::to_string(AcknowledgedCount(*sim));
        return counts;
    }

    std::vector<TGsmSimulator*> FTerminals;
};

std::string Seconds(double seconds) {
    std::ostringstream text;
    text.precision(1);
    text << std::fixed << seconds << " s";
    return text.str();
}

// Terminal 2's network never registers it: after its grace it takes nothing, says so once, and
// terminal 1 sends every message once.
TEST_F(DispatchEdgesTest, ATerminalTheNetworkNeverRegistersTakesNoMessages) {
    const int32_t count = 40;
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, count, "R");
    // Slow enough answers that terminal 1 still sends well after terminal 2's grace.
    AddTerminals(2, 30);
    TGsmSimulator& second = *FTerminals[1];
    second.SetRegistration(0);
    const auto start = std::chrono::steady_clock::now();
    auto service = StartService();
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 60000))
        << "not acknowledged:" << NotOnce(seeded, AcknowledgedTexts(Sims())) << Diagnostics();
    const double seconds = SecondsSince(start);
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_EQ(NotOnce(seeded, AcknowledgedTexts(Sims())), "") << "each message acknowledged once";
    EXPECT_EQ(second.SubmittedCount(), 0u) << "the unregistered terminal was handed messages";
    const std::string unregistered =
        "GSM терминал не зарегистрирован в сети: сообщения ему не передаются";
    EXPECT_TRUE(WaitUntil([&] { return LogCountContaining(unregistered + " [2]") > 0; }, 10000, 20))
        << Diagnostics();
    EXPECT_EQ(LogCountContaining(unregistered + " [2]"), 1u) << Diagnostics();
    EXPECT_EQ(LogCountContaining(unregistered), 1u) << "terminal 1 is registered" << Diagnostics();
    EXPECT_EQ(LogCountContaining("GSM терминал зарегистрирован в сети"), 0u) << Diagnostics();
    StopService(*service);
    PrintFigures("unregistered terminal 2: " + std::to_string(count) + " messages in " +
                 Seconds(seconds) + " from the start, terminals " + Acknowledged());
}

// Two hosts with one terminal each; once both send, host B's terminal is unplugged for good
// while its program and database session live. What B held comes back and goes to the
// database, and host A sends it all; only the message on B's line may come twice.
TEST_F(DispatchEdgesTest, AHostWithoutAWorkingTerminalLeavesItsMessagesToTheOther) {
    if (ScaledDown())
        GTEST_SKIP() << "waits out the hosts' grace of more than 30 s: plain build only";
    const int32_t count = 300;
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    TTempDir otherDir;
    TGsmSimulator& other = AddSimulator(otherDir, "modem");
    FTerminals = {&FSim, &other};
    WriteIni();
    otherDir.Write("QuorvexSMS.ini", FDb->IniSection() + TerminalSection(1, other));
    FSim.SetAnswerDelayMs(40);
    other.SetAnswerDelayMs(40);
    auto one = StartService();
    TServiceProcess hostB(otherDir, FZone);
    ASSERT_TRUE(hostB.Started());
    const auto otherLog = [&] { return qvx::LogMessages(otherDir.Read("QuorvexSMS.log")); };
    const auto otherTail = [&] {
        const auto lines = otherLog();
        std::string tail;
        for (size_t i = lines.size() > 30 ? lines.size() - 30 : 0; i < lines.size(); ++i)
            tail += "\n  | " + Cp1251ToUtf8(lines[i]);
        return "\nhost B's log:" + tail;
    };
    // Host B waits the grace of its first session, as A is there: the work comes after it, so
    // that both take their share.
    std::this_thread::sleep_for(std::chrono::milliseconds(HostsGraceMs + 2000));
    const TSeeded seeded = SeedMessages(1, count, "B");
    one->Signal(SIGUSR1);
    hostB.Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil(
        [&] { return AcknowledgedCount(FSim) >= 10 && AcknowledgedCount(other) >= 10; }, 90000))
        << "both hosts must send: " << Acknowledged() << Diagnostics() << otherTail();

    // The cable goes while B waits for the network's answer to a PDU: a message on the line.
    const size_t submitted = other.SubmittedCount();
    other.SetSubmitReply(TSubmitReply::NoFinalAnswer, 1);
    ASSERT_TRUE(other.WaitForSubmitted(submitted + 1, 10000)) << "B sent nothing" << otherTail();
    ASSERT_TRUE(other.Unplug());
    FLedger.NoteUnplug();
    const auto unplugged = std::chrono::steady_clock::now();
    const int32_t leftAtUnplug = count - AcknowledgedCount(FSim) - AcknowledgedCount(other);
    EXPECT_GT(leftAtUnplug, count / 3) << "the unplug came too late to test the rest";
    const auto givenBack = [&] {
        const auto lines = otherLog();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("Сообщения, которые сейчас не может отправить ни один GSM "
                             "терминал, оставлены в базе данных: ") == 0;
        });
    };
    EXPECT_TRUE(WaitUntil(givenBack, 30000, 20))
        << "what host B held must go back to the database" << otherTail();
    const double givenBackSeconds = SecondsSince(unplugged);
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 120000, 100))
        << "not acknowledged:" << NotOnce(seeded, AcknowledgedTexts(Sims())) << Diagnostics()
        << otherTail();
    const double seconds = SecondsSince(unplugged);
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    EXPECT_LE(FLedger.Repeats(), 1) << "only the message on B's line may come twice";
    EXPECT_TRUE(hostB.Running()) << "host B's program must live on" << otherTail();
    EXPECT_EQ(ServiceSessions(), 2) << "host B keeps its database session";
    StopService(*one);
    hostB.Signal(SIGTERM);
    EXPECT_EQ(hostB.WaitExit(5000).value_or(-1), 0);
    PrintFigures("host B's terminal unplugged: " + std::to_string(leftAtUnplug) + " of " +
                 std::to_string(count) + " left, B's given back " + Seconds(givenBackSeconds) +
                 " and all sent " + Seconds(seconds) + " after the unplug, hosts " +
                 Acknowledged() + ", " + std::to_string(FLedger.Repeats()) + " repeats");
}

// The network acknowledges every submission 40 s late, after the program stopped waiting for
// the answer, and the terminal answers nothing else meanwhile: the late "+CMGS" still
// acknowledges the message, which reaches the network once and is stamped.
TEST_F(DispatchEdgesTest, ALateAcknowledgementIsNotSentAgain) {
    if (ScaledDown())
        GTEST_SKIP() << "waits out the 30 s wait for an answer three times: plain build only";
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, 3, "S");
    AddTerminals(1, 0);
    FSim.SetNetworkDelayMs(40000);
    const auto start = std::chrono::steady_clock::now();
    auto service = StartService();
    EXPECT_TRUE(WaitAllStamped(240000)) << UnsentCount() << " rows left unsent" << Diagnostics();
    const double seconds = SecondsSince(start);
    EXPECT_EQ(NotOnce(seeded, FLedger.Counts()), "") << "each text must reach the network once";
    EXPECT_EQ(NotOnce(seeded, AcknowledgedTexts(Sims())), "");
    EXPECT_EQ(StampedUnacknowledged(seeded), std::vector<int32_t>{});
    EXPECT_EQ(LogCountContaining("не будет отправлено"), 0u) << Diagnostics();
    const size_t unanswered = LogCountContaining("сеть не ответила на отправку");
    StopService(*service);
    PrintFigures("late network: 3 messages stamped in " + Seconds(seconds) + ", " +
                 std::to_string(FLedger.Total()) + " submissions, " + std::to_string(unanswered) +
                 " waits for a late answer");
}

// Terminal 2 of three hangs after its prompt, before the PDU: the program cannot know whether
// the network has it, and the message goes once more, through another terminal, once the wait
// for a late answer is over; the rest leave through the other two.
TEST_F(DispatchEdgesTest, ATerminalThatHangsMidSubmissionLeavesItsMessagesToTheOthers) {
    if (ScaledDown())
        GTEST_SKIP() << "waits out the wait for a late answer (150 s): plain build only";
    const int32_t count = 200;
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, count, "G");
    AddTerminals(3, 20);
    TGsmSimulator& second = *FTerminals[1];
    // Its slow prompt leaves the test time to silence it between the at+cmgs and the PDU.
    second.SetAnswerDelayMs(300);
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return AcknowledgedCount(second) >= 2; }, 60000))
        << Acknowledged() << Diagnostics();
    const int32_t prompts = second.CommandCount("at+cmgs");
    ASSERT_TRUE(second.WaitForCommandCount("at+cmgs", prompts + 1, 10000)) << Diagnostics();
    second.SetSilent(true);
    const auto hung = std::chrono::steady_clock::now();
    const int32_t sentByHung = AcknowledgedCount(second);
    ASSERT_EQ(second.SubmittedCount(), static_cast<size_t>(prompts))
        << "the hang must come before the PDU";
    const int32_t leftAtHang =
        count - AcknowledgedCount(FSim) - sentByHung - AcknowledgedCount(*FTerminals[2]);
    EXPECT_GT(leftAtHang, count / 3) << "the hang came too late to test the rest";
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, Sims()); }, 240000, 100))
        << "not acknowledged:" << NotOnce(seeded, AcknowledgedTexts(Sims())) << Diagnostics();
    const double seconds = SecondsSince(hung);
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_EQ(AcknowledgedCount(second), sentByHung) << "the hung terminal sent no more";
    EXPECT_LE(FLedger.Repeats(), 1) << "only the message in the hung submission may come twice";
    EXPECT_EQ(LogCountContaining("не будет отправлено"), 0u) << Diagnostics();
    const size_t again = LogCountContaining("возможен повтор");
    StopService(*service);
    PrintFigures("hung terminal 2: " + std::to_string(leftAtHang) + " of " + std::to_string(count) +
                 " left, all sent " + Seconds(seconds) + " after the hang, terminals " +
                 Acknowledged() + ", " + std::to_string(FLedger.Repeats()) + " repeats, " +
                 std::to_string(again) + " sent again as a possible repeat");
}

} // namespace
} // namespace qvx::test
