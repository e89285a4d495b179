// The simulator's fault injection seen from the driver's side of the pty: unsolicited and
// garbage bytes, endless output, silence, delays, throttling and power cycles.
#include "gsmsim/GsmSimulator.h"
#include "tools/PtyClient.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace qvx {
namespace {

using test::TPtyClient;
using TClock = std::chrono::steady_clock;

constexpr const char* HelloPdu = "0011000591214"
                                 "3F50000C405E8329BFD06";

long long MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

class GsmSimulatorFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FSim.Start()) << FSim.LastError();
        FClient = std::make_unique<TPtyClient>(FSim.SlavePath());
        ASSERT_TRUE(FClient->IsOpen());
        ASSERT_EQ(FClient->Command("atq0v1e0"), "atq0v1e0\r\r\nOK\r\n");
    }

    TGsmSimulator FSim;
    std::unique_ptr<TPtyClient> FClient;
};

TEST_F(GsmSimulatorFaultTest, InjectedBytesArriveUnchanged) {
    struct TCase {
        std::string Sent;
        std::string Received;
        const char* Note;
    };
    const TCase cases[] = {
        {"RING", "\r\nRING\r\n", "a call"},
        {"+CLIP: \"12345\",129", "\r\n+CLIP: \"12345\",129\r\n", "the caller"},
        {"+CUSD: 2,\"00410042\",72", "\r\n+CUSD: 2,\"00410042\",72\r\n", "a USSD result"},
    };
    for (const TCase& c : cases) {
        FSim.InjectLine(c.Sent);
        EXPECT_EQ(FClient->ReadUntil(c.Received), c.Received) << c.Note;
    }
    std::string garbage("\0\0\xFF\x80garbage\0\r\n", 14);
    FSim.InjectBytes(garbage);
    EXPECT_EQ(FClient->ReadUntil("\r\n"), garbage) << "NUL and high bytes pass the raw pty";
}

TEST_F(GsmSimulatorFaultTest, EndlessAnswerRunsUntilStopped) {
    FSim.SetEndless(true);
    std::string sample;
    ASSERT_TRUE(FClient->Skip(30000, 5000, &sample)) << "endless output must keep coming";
    EXPECT_EQ(sample.find("OK"), std::string::npos) << "it must never look like a final answer";
    EXPECT_EQ(sample.find("ERROR"), std::string::npos);
    FSim.SetEndless(false);
    EXPECT_NE(FClient->Command("at", 10000).find("OK\r\n"), std::string::npos)
        << "the terminal answers again once the flood ends";
}

TEST_F(GsmSimulatorFaultTest, SilentTerminalAnswersNothingUntilWoken) {
    FSim.SetSilent(true);
    FClient->Send("at+csca?\r");
    ASSERT_TRUE(FSim.WaitForCommandCount("at+csca?", 1, 10000)) << "the line still arrives";
    FSim.SetSilent(false);
    EXPECT_EQ(FClient->Command("at+cpin?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n")
        << "nothing of the ignored command may come first";
}

TEST_F(GsmSimulatorFaultTest, DelayedAnswersComeLate) {
    FSim.SetAnswerDelayMs(150);
    auto start = TClock::now();
    EXPECT_EQ(FClient->Command("at"), "\r\nOK\r\n");
    EXPECT_GE(MsSince(start), 150) << "the answer must wait for its delay";
}

// A terminal still waiting for the network answers nothing else meanwhile: a command sent
// before the late acknowledgement is answered after it. Only the submissions asked for are
// late, and bytes asked for in front of a prompt come in front of it.
TEST_F(GsmSimulatorFaultTest, ALateNetworkAnswerComesBeforeTheNextCommandsAnswer) {
    FSim.SetNetworkDelayMs(1000, 1);
    FClient->Send("at+cmgs=16\r");
    ASSERT_EQ(FClient->ReadUntil("> "), "\r\n> ");
    FClient->Send(std::string(HelloPdu) + "\x1A");
    ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000));
    FClient->Send("at+cpin?\r");
    ASSERT_TRUE(FSim.WaitForCommandCount("at+cpin?", 1, 10000));
    EXPECT_FALSE(FSim.Submitted()[0].Acknowledged) << "the command came before the answer";
    EXPECT_EQ(FClient->ReadUntil("READY\r\n\r\nOK\r\n"),
              "\r\n+CMGS: 0\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n");

    FSim.SetPromptInterjection("\r\n+CMS ERROR: 332\r\n");
    FClient->Send("at+cmgs=16\r");
    EXPECT_EQ(FClient->ReadUntil("> "), "\r\n+CMS ERROR: 332\r\n\r\n> ");
    FClient->Send(std::string(HelloPdu) + "\x1A");
    EXPECT_EQ(FClient->ReadAnswer(), "\r\n+CMGS: 1\r\n\r\nOK\r\n") << "on time again";
    EXPECT_TRUE(FSim.WaitForAcknowledged(2, 10000));
}

TEST_F(GsmSimulatorFaultTest, ThrottledOutputKeepsToTheBaudRate) {
    FSim.SetListingPadBytes(1000);
    FSim.SetBaudRate(19200); // 1920 bytes a second
    auto start = TClock::now();
    std::string answer = FClient->Command("at+cmgl=4", 10000);
    ASSERT_GE(answer.size(), 1000u) << answer.substr(0, 100);
    // The first slice may go out at once; the rest takes its line time.
    EXPECT_GE(MsSince(start), (static_cast<long long>(answer.size()) - 19) * 10000 / 19200);
}

TEST_F(GsmSimulatorFaultTest, PowerCycleLocksTheSimAgainAndKeepsItsStore) {
    FSim.SetPin("1234");
    ASSERT_EQ(FClient->Command("at+cpin=1234"), "\r\nOK\r\n");
    ASSERT_EQ(FSim.StoreText("+12345", "kept").size(), 1u);
    ASSERT_TRUE(FSim.Unplug());
    ASSERT_TRUE(FClient->WaitHangup(2000));
    ASSERT_TRUE(FSim.Plug()) << FSim.LastError();
    TPtyClient client(FSim.SlavePath());
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(client.Command("at+cpin?"), "at+cpin?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(FSim.StoredCount(), 1u) << "the SIM keeps its messages";
    FSim.InjectLine("RING");
    EXPECT_EQ(client.ReadUntil("RING\r\n"), "\r\nRING\r\n");
}

TEST_F(GsmSimulatorFaultTest, WhatIsSentWhileUnpluggedIsLost) {
    ASSERT_TRUE(FSim.Unplug());
    FSim.InjectLine("LOST");
    EXPECT_EQ(FSim.StoreText("+12345", "stored meanwhile").size(), 1u);
    ASSERT_TRUE(FSim.Plug());
    TPtyClient client(FSim.SlavePath());
    FSim.InjectLine("FOUND");
    EXPECT_EQ(client.ReadUntil("FOUND\r\n"), "\r\nFOUND\r\n")
        << "nothing from the unplugged time may arrive";
}

TEST_F(GsmSimulatorFaultTest, HandlerSeesEverySubmissionAsItArrives) {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> texts;
    FSim.SetSubmittedHandler([&](const TSubmittedSms& sms) {
        std::lock_guard guard(lock);
        texts.push_back(sms.View.Text);
        arrived.notify_all();
    });
    for (int i = 0; i < 3; ++i) {
        FClient->Send("at+cmgs=16\r");
        ASSERT_EQ(FClient->ReadUntil("> "), "\r\n> ");
        FClient->Send(std::string(HelloPdu) + "\x1A");
        ASSERT_EQ(FClient->ReadAnswer(), "\r\n+CMGS: " + std::to_string(i) + "\r\n\r\nOK\r\n");
    }
    std::unique_lock guard(lock);
    ASSERT_TRUE(
        arrived.wait_for(guard, std::chrono::seconds(2), [&] { return texts.size() == 3; }));
    EXPECT_EQ(texts, (std::vector<std::string>{"hello", "hello", "hello"}));
}

TEST_F(GsmSimulatorFaultTest, TellsAcknowledgedSubmissionsFromCutOffOnes) {
    auto submit = [&](uint32_t delayMs = 0) {
        FClient->Send("at+cmgs=16\r");
        EXPECT_EQ(FClient->ReadUntil("> "), "\r\n> ");
        FSim.SetAnswerDelayMs(delayMs);
        FClient->Send(std::string(HelloPdu) + "\x1A");
    };
    submit();
    ASSERT_EQ(FClient->ReadAnswer(), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_TRUE(FSim.WaitForAcknowledged(1, 10000)) << "the OK went out whole";

    FSim.SetSubmitReply(TSubmitReply::NoFinalAnswer, 1);
    submit();
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));

    submit(60000); // the acknowledgement is still waiting when the cable goes
    ASSERT_TRUE(FSim.WaitForSubmitted(3, 10000));
    ASSERT_TRUE(FSim.Unplug());

    auto submitted = FSim.Submitted();
    ASSERT_EQ(submitted.size(), 3u);
    const char* notes[] = {"acknowledged", "never answered", "cut off by the unplug"};
    const bool acknowledged[] = {true, false, false};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(submitted[i].Serial, i + 1) << notes[i];
        EXPECT_TRUE(submitted[i].Accepted) << notes[i];
        EXPECT_EQ(submitted[i].Acknowledged, acknowledged[i]) << notes[i];
    }
}

TEST(GsmSimulatorLifeTest, StopsPromptlyAndCanBeStoppedTwice) {
    TGsmSimulator sim;
    EXPECT_FALSE(sim.Plugged());
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    EXPECT_FALSE(sim.Start()) << "a running simulator does not start again";
    TPtyClient client(sim.SlavePath());
    sim.SetEndless(true);
    ASSERT_TRUE(client.Skip(1000, 10000));
    sim.Stop();
    EXPECT_TRUE(client.WaitHangup(2000)) << "stopping hangs the line up";
    sim.Stop();
    EXPECT_FALSE(sim.Plugged());
}

} // namespace
} // namespace qvx
