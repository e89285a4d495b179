// The simulator driven through its slave pty with plain POSIX I/O, as the driver would.
#include "gsmsim/GsmSimulator.h"

#include "support/TempDir.h"
#include "support/Text.h"
#include "tools/PtyClient.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qvx {
namespace {

using test::TPtyClient;
using test::U8;

constexpr char CtrlZ = '\x1A';
// 12345, "hello", 7-bit, relative validity C4: the driver's own worked example.
constexpr const char* HelloPdu = "0011000591214"
                                 "3F50000C405E8329BFD06";
// 12345, six Cyrillic letters in UCS2.
constexpr const char* PrivetPdu = "0011000591214"
                                  "3F50008C40C041F04400438043204350442";

class GsmSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FSim.Start()) << FSim.LastError();
        FClient = std::make_unique<TPtyClient>(FSim.SlavePath());
        ASSERT_TRUE(FClient->IsOpen()) << "cannot open " << FSim.SlavePath();
    }
    // The driver's first two commands: extended errors, then echo off.
    void Init() {
        ASSERT_EQ(FClient->Command("at+cmee=2"), "at+cmee=2\r\r\nOK\r\n");
        ASSERT_EQ(FClient->Command("atq0v1e0"), "atq0v1e0\r\r\nOK\r\n");
    }
    std::string Submit(int32_t length, const std::string& pdu) {
        FClient->Send("at+cmgs=" + std::to_string(length) + "\r");
        std::string prompt = FClient->ReadUntil("> ");
        if (prompt != "\r\n> ")
            return "no prompt: " + prompt;
        FClient->Send(pdu + CtrlZ);
        return FClient->ReadAnswer();
    }

    TGsmSimulator FSim;
    std::unique_ptr<TPtyClient> FClient;
};

TEST_F(GsmSimulatorTest, EchoesCommandsUntilEchoIsSwitchedOff) {
    EXPECT_EQ(FClient->Command("at"), "at\r\r\nOK\r\n") << "a fresh terminal echoes";
    EXPECT_TRUE(FSim.EchoOn());
    Init();
    EXPECT_FALSE(FSim.EchoOn()) << "atq0v1e0 must switch echo off";
    struct TCase {
        const char* Command;
        const char* Answer;
    };
    const TCase cases[] = {
        {"at+cpin?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"at+csca?", "\r\n+CSCA: \"+79037011111\",145\r\n\r\nOK\r\n"},
        {"at+clip=1", "\r\nOK\r\n"},
        {"AT+CGMI", "\r\nOK\r\n"},
        {"at+cmgl=4", "\r\nOK\r\n"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(FClient->Command(c.Command), c.Answer) << "answer to " << c.Command;
    EXPECT_EQ(FSim.CommandCount("at+cmgl"), 1);
    EXPECT_EQ(FSim.CommandLog().front(), "at") << "the log keeps the lines as received";
}

TEST_F(GsmSimulatorTest, SimBusyAnswersComeBeforeTheCentreNumber) {
    FSim.SetSimBusyCount(2);
    Init();
    EXPECT_EQ(FClient->Command("at+csca?"), "\r\n+CME ERROR: SIM busy\r\n");
    EXPECT_EQ(FClient->Command("at+csca?"), "\r\n+CME ERROR: SIM busy\r\n");
    EXPECT_EQ(FClient->Command("at+csca?"), "\r\n+CSCA: \"+79037011111\",145\r\n\r\nOK\r\n")
        << "the third query finds the SIM ready";
}

TEST_F(GsmSimulatorTest, PinMustBeGivenBeforeTheSimWorks) {
    FSim.SetPin("1234");
    Init();
    struct TCase {
        const char* Command;
        const char* Answer;
        const char* Note;
    };
    const TCase cases[] = {
        {"at+cpin?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", "locked SIM"},
        {"at+csca?", "\r\n+CME ERROR: SIM PIN required\r\n", "centre query while locked"},
        {"at+cmgl=4", "\r\n+CMS ERROR: 311\r\n", "listing while locked"},
        {"at+cpin=0000", "\r\n+CME ERROR: incorrect password\r\n", "wrong PIN"},
        {"at+cpin=1234", "\r\nOK\r\n", "right PIN"},
        {"at+cpin?", "\r\n+CPIN: READY\r\n\r\nOK\r\n", "unlocked"},
        {"at+cpin=1234", "\r\n+CME ERROR: operation not allowed\r\n", "PIN given twice"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(FClient->Command(c.Command), c.Answer) << c.Note;
}

TEST_F(GsmSimulatorTest, RecordsAndDecodesSubmissions) {
    Init();
    EXPECT_EQ(Submit(16, HelloPdu), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(Submit(23, PrivetPdu), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000));
    auto submitted = FSim.Submitted();
    ASSERT_EQ(submitted.size(), 2u);
    const TSubmittedSms& hello = submitted[0];
    EXPECT_EQ(hello.Pdu, HelloPdu);
    EXPECT_TRUE(hello.Accepted && hello.LengthMatches) << hello.View.Error;
    EXPECT_EQ(hello.View.Destination, "12345");
    EXPECT_EQ(hello.View.DestinationType, 0x91);
    EXPECT_EQ(hello.View.FirstOctet, 0x11);
    EXPECT_EQ(hello.View.ValidityHex, "C4");
    EXPECT_EQ(hello.View.Coding, TSmsCoding::Gsm7);
    EXPECT_EQ(hello.View.Text, "hello");
    const TSubmittedSms& privet = submitted[1];
    EXPECT_EQ(privet.View.Coding, TSmsCoding::Ucs2);
    EXPECT_EQ(privet.View.Text, U8(u8"Привет"));
    EXPECT_EQ(privet.Reference, 1);
}

TEST_F(GsmSimulatorTest, ListsStoredMessagesAndDeletesThem) {
    ASSERT_EQ(FSim.StoreText("+12345", "hello"), std::vector<int32_t>{1});
    ASSERT_EQ(FSim.StoreText("+12345", U8(u8"Привет")), std::vector<int32_t>{2});
    Init();
    auto stored = FSim.Stored();
    ASSERT_EQ(stored.size(), 2u);
    std::string expected = "\r\n+CMGL: 1,0,," + std::to_string(stored[0].Length) + "\r\n" +
                           stored[0].Pdu + "\r\n+CMGL: 2,0,," + std::to_string(stored[1].Length) +
                           "\r\n" + stored[1].Pdu + "\r\n\r\nOK\r\n";
    EXPECT_EQ(FClient->Command("at+cmgl=4"), expected);
    EXPECT_EQ(FClient->Command("at+cmgd=1"), "\r\nOK\r\n");
    EXPECT_EQ(FClient->Command("at+cmgl=4"), "\r\n+CMGL: 2,1,," + std::to_string(stored[1].Length) +
                                                 "\r\n" + stored[1].Pdu + "\r\n\r\nOK\r\n")
        << "the listed message is read now, the deleted one gone";
    EXPECT_EQ(FSim.DeletedIndexes(), std::vector<int32_t>{1});
    EXPECT_EQ(FSim.CommandCount("at+cmgl"), 2);
}

TEST_F(GsmSimulatorTest, UnplugHangsUpAndPlugRepointsTheLink) {
    test::TTempDir dir;
    TGsmSimulator sim;
    sim.SetLinkPath(dir.File("modem"));
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    EXPECT_EQ(std::filesystem::read_symlink(dir.File("modem")), sim.SlavePath());
    TPtyClient client(dir.File("modem"));
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(client.Command("atq0v1e0"), "atq0v1e0\r\r\nOK\r\n");

    ASSERT_TRUE(sim.Unplug());
    EXPECT_TRUE(client.WaitHangup(10000)) << "the driver's port must see the line go dead";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.File("modem"))))
        << "an unplugged terminal has no device";
    EXPECT_FALSE(sim.Plugged());

    ASSERT_TRUE(sim.Plug()) << sim.LastError();
    EXPECT_EQ(std::filesystem::read_symlink(dir.File("modem")), sim.SlavePath());
    TPtyClient again(dir.File("modem"));
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Command("at"), "at\r\r\nOK\r\n") << "a replugged terminal starts with echo on";
    sim.Stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.File("modem"))));
}

// Several terminals in one process, as a service with several terminals is tested: each keeps
// its own SIM, records and line, and one unplugged leaves the other working.
TEST(GsmSimulatorSideBySideTest, TerminalsShareNothing) {
    test::TTempDir dir;
    TGsmSimulator first;
    TGsmSimulator second;
    first.SetLinkPath(dir.File("modem1"));
    second.SetLinkPath(dir.File("modem2"));
    second.SetImsi("250990000000002");
    second.SetSubmitReply(TSubmitReply::CmsError, 0, 500);
    ASSERT_TRUE(first.Start()) << first.LastError();
    ASSERT_TRUE(second.Start()) << second.LastError();
    TPtyClient one(dir.File("modem1"));
    TPtyClient two(dir.File("modem2"));
    ASSERT_TRUE(one.IsOpen() && two.IsOpen());
    for (TPtyClient* client : {&one, &two})
        ASSERT_EQ(client->Command("at+cmee=2"), "at+cmee=2\r\r\nOK\r\n");
    EXPECT_EQ(one.Command("at+cimi"), "at+cimi\r\r\n250990000000001\r\n\r\nOK\r\n");
    EXPECT_EQ(two.Command("at+cimi"), "at+cimi\r\r\n250990000000002\r\n\r\nOK\r\n");
    one.Send(std::string("at+cmgs=16\r") + HelloPdu + CtrlZ);
    EXPECT_NE(one.ReadAnswer().find("+CMGS: 0"), std::string::npos) << "the first one sends";
    two.Send(std::string("at+cmgs=16\r") + HelloPdu + CtrlZ);
    EXPECT_NE(two.ReadAnswer().find("+CMS ERROR: 500"), std::string::npos)
        << "the second one keeps its own fault";
    EXPECT_EQ(first.CommandCount("at+cimi"), 1);
    EXPECT_EQ(second.CommandCount("at+cimi"), 1);
    ASSERT_TRUE(first.Unplug());
    EXPECT_TRUE(one.WaitHangup(10000));
    EXPECT_EQ(two.Command("at"), "at\r\r\nOK\r\n") << "the other line stays up";
    EXPECT_TRUE(second.Plugged());
}

TEST(GsmSimulatorLinkTest, NeverReplacesAFileThatIsNotALink) {
    test::TTempDir dir;
    dir.Write("precious", "data");
    TGsmSimulator sim;
    sim.SetLinkPath(dir.File("precious"));
    EXPECT_FALSE(sim.Start()) << "a file in the link's place must stop the start";
    EXPECT_NE(sim.LastError().find("not a symbolic link"), std::string::npos) << sim.LastError();
    EXPECT_EQ(dir.Read("precious"), "data");
}

} // namespace
} // namespace qvx
