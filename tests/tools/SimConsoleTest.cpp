// The operator's commands of the gsmsim program, carried out on a running simulator.
#include "gsmsim/SimConsole.h"

#include "support/Text.h"
#include "tools/PtyClient.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::U8;

TEST(SimConsoleTextTest, UnescapesOperatorText) {
    struct TCase {
        const char* Text;
        std::string Bytes;
    };
    const TCase cases[] = {
        {"\\r\\nRING\\r\\n", "\r\nRING\r\n"},
        {"a\\0b", std::string("a\0b", 3)},
        {"\\x1A\\xff", "\x1A\xFF"},
        {"\\\\n", "\\n"},
        {"\\xZZ", "\\xZZ"},
        {"end\\", "end\\"},
        {"\\x4", "x4"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(UnescapeText(c.Text), c.Bytes) << c.Text;
}

class SimConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(FSim.Start()) << FSim.LastError(); }
    std::string Run(std::string_view line) {
        bool quit = false;
        std::string reply = FConsole.Execute(line, quit);
        EXPECT_FALSE(quit) << line;
        return reply;
    }

    TGsmSimulator FSim;
    TSimConsole FConsole{FSim};
};

TEST_F(SimConsoleTest, StoresMessagesAndListsThem) {
    EXPECT_EQ(Run("store +79001234567 " + U8(u8"Привет, мир")), "stored at 1\n");
    EXPECT_EQ(Run("store 12345 " + std::string(200, 'a')), "stored at 2, 3\n");
    EXPECT_EQ(Run("store-pdu 000405912143F50000421012310000000"
                  "5E8329BFD06"),
              "stored at 4\n");
    EXPECT_EQ(FSim.StoredCount(), 4u);
    EXPECT_EQ(Run("stored").substr(0, 19), "1 stat 0 length 41:");
    EXPECT_NE(Run("store").find("error"), std::string::npos) << "number missing";
    EXPECT_NE(Run("store-pdu 0G").find("error"), std::string::npos) << "not hex";
    EXPECT_NE(Run("store +12a hello").find("error"), std::string::npos) << "bad number";
}

TEST_F(SimConsoleTest, ShowsSubmissionsDecoded) {
    EXPECT_EQ(Run("submitted"), "nothing submitted\n");
    test::TPtyClient client(FSim.SlavePath());
    client.Send("ate0\rat+cmgs=23\r");
    ASSERT_EQ(client.ReadUntil("> "), "ate0\r\r\nOK\r\n\r\n> ");
    client.Send("0011000591214"
                "3F50008C40C041F04400438043204350442\x1A");
    ASSERT_EQ(client.ReadAnswer(), "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(Run("submitted"), "1. SMS to 12345 [UCS2]: " + U8(u8"Привет") + "\n");
}

TEST_F(SimConsoleTest, SwitchesFaultsAndRefusesBadArguments) {
    struct TCase {
        const char* Line;
        bool Ok;
    };
    const TCase cases[] = {
        {"reply cms-error 310 2", true},
        {"reply no-prompt", true},
        {"reply no-answer 1", true},
        {"reply ok", true},
        {"reply maybe", false},
        {"reply cms-error", false},
        {"reply ok -1", false},
        {"sim-busy 3", true},
        {"sim-busy -3", false},
        {"delay 10", true},
        {"baud 115200", true},
        {"baud fast", false},
        {"pad 20000", true},
        {"silent on", true},
        {"silent off", true},
        {"endless maybe", false},
        {"delete-fails on", true},
        {"refuse 79160000001", true},
        {"refuse 79160000001 310", true},
        {"refuse 79160000001 off", true},
        {"refuse +79160000001", false},
        {"refuse 79160000001 never", false},
        {"refuse", false},
        {"pin 1234", true},
        {"pin off", true},
        {"creg 2", true},
        {"creg error", true},
        {"creg 11", false},
        {"creg", false},
        {"csq 99", true},
        {"csq error", true},
        {"csq 100", false},
        {"csq -1", false},
        {"frobnicate", false},
    };
    for (const TCase& c : cases) {
        std::string reply = Run(c.Line);
        EXPECT_EQ(reply.rfind("error", 0) != 0, c.Ok) << c.Line << " -> " << reply;
    }
    EXPECT_EQ(Run(""), "") << "an empty line says nothing";
    bool quit = false;
    FConsole.Execute("quit", quit);
    EXPECT_TRUE(quit);
}

TEST_F(SimConsoleTest, UnplugAndPlugReportTheNewTerminal) {
    EXPECT_EQ(Run("unplug"), "unplugged\n");
    EXPECT_FALSE(FSim.Plugged());
    std::string reply = Run("plug");
    EXPECT_EQ(reply, "terminal " + FSim.SlavePath() + "\n");
    EXPECT_TRUE(FSim.Plugged());
}

} // namespace
} // namespace qvx
