// ReceiveSMS against the simulator: direct calls on a terminal that is not started.
#include "SiemensFixture.h"
#include "infra/Codepage.h"
#include "support/Text.h"

namespace qvx {
namespace {

using test::TSiemensFixture;
using test::U8;

class SiemensReceiveTest : public TSiemensFixture {
protected:
    std::vector<TSMS> Received() {
        std::vector<TSMS> all;
        TSMS sms;
        while (FTerminal->GetReceivedSMS(sms))
            all.push_back(sms);
        return all;
    }
};

TEST_F(SiemensReceiveTest, EntriesAreQueuedLoggedAndDeletedByIndex) {
    OpenDirect();
    const std::vector<int32_t> first = FSim.StoreText("+79161234567", "hello @ 5$");
    const std::vector<int32_t> second = FSim.StoreText("12345", U8(u8"Привет"));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(FTerminal->ReceiveSMS()) << LogText();
    EXPECT_EQ(FTerminal->FErrorCode, 0);
    const std::vector<TSMS> received = Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].Telephone, "79161234567");
    EXPECT_EQ(received[0].Text, "hello @ 5$") << "the default alphabet is translated";
    EXPECT_EQ(received[1].Telephone, "12345");
    EXPECT_EQ(received[1].Text, Utf8ToCp1251(U8(u8"Привет")));
    EXPECT_FALSE(received[0].Flash || received[0].Transliterate);
    EXPECT_EQ(FSim.DeletedIndexes(), (std::vector<int32_t>{first[0], second[0]}));
    EXPECT_EQ(FSim.StoredCount(), 0u);
    const std::vector<std::string> expected = {
        "Получена SMS тел=\"79161234567\" текст=\"hello @ 5$\" DCS=0",
        "Получена SMS тел=\"12345\" текст=\"Привет\" DCS=8",
    };
    EXPECT_EQ(LogLines(), expected) << LogText();

    FDir.Write("Siemens.log", "");
    EXPECT_TRUE(FTerminal->ReceiveSMS()) << "an empty store answers OK alone";
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(LogLines().empty()) << LogText();
}

TEST_F(SiemensReceiveTest, MalformedEntryIsLoggedDeletedAndSkipped) {
    OpenDirect();
    const std::string truncated = "07919730071111F1040B91";
    const int32_t bad = FSim.StorePdu(truncated);
    ASSERT_GT(bad, 0);
    const std::vector<int32_t> good = FSim.StoreText("12345", "after");
    ASSERT_EQ(good.size(), 1u);
    EXPECT_TRUE(FTerminal->ReceiveSMS()) << LogText();
    const std::vector<TSMS> received = Received();
    ASSERT_EQ(received.size(), 1u) << "only the good entry is queued";
    EXPECT_EQ(received[0].Text, "after");
    EXPECT_EQ(FSim.DeletedIndexes(), (std::vector<int32_t>{bad, good[0]}))
        << "the malformed entry must not come back in every pass";
    const std::vector<std::string> expected = {
        "Нераспознанная SMS [индекс=" + std::to_string(bad) + "]: " + truncated,
        "Получена SMS тел=\"12345\" текст=\"after\" DCS=0",
    };
    EXPECT_EQ(LogLines(), expected) << LogText();
}

TEST_F(SiemensReceiveTest, FailuresGiveTheirCodes) {
    struct TCase {
        std::function<void()> Arrange;
        int32_t Code;
        std::vector<std::string> Log;
        std::string Saved;
        const char* Note;
    };
    const TCase cases[] = {
        {[this] {
             FSim.StoreText("12345", "x");
             FSim.SetDeleteFails(true);
         },
         7,
         {"Получена SMS тел=\"12345\" текст=\"x\" DCS=0", "Ошибка удаления SMS ! [at+cmgd=1<cr>]"},
         "",
         "a deletion answered with ERROR fails when its timeout has run out"},
        {[this] { FSim.SetSilent(true); },
         7,
         {"Нет ответа на запрос SMS (at+cmgl=4)"},
         "",
         "no reply at all"},
        {[this] {
             FSim.SetSilent(true);
             AnswerAfter("at+cmgl", FSim.CommandCount("at+cmgl") + 1, "\r\n+CMS ERROR: 321\r\n");
         },
         8,
         {},
         "\r\n+CMS ERROR: 321\r\n",
         "a reply without OK goes to the saved text"},
        {[this] { FSim.SetListingPadBytes(20000); },
         9,
         {},
         "",
         "a reply that reaches 15000 characters"},
    };
    for (const TCase& c : cases) {
        FSim.Unplug(); // power-on state and default behaviour for every case
        FSim.SetSilent(false);
        FSim.SetDeleteFails(false);
        FSim.SetListingPadBytes(0);
        ASSERT_TRUE(FSim.Plug());
        FTerminal = MakeTerminal(FDir.File("modem"));
        OpenDirect();
        c.Arrange();
        EXPECT_FALSE(FTerminal->ReceiveSMS()) << c.Note;
        EXPECT_EQ(FTerminal->FErrorCode, c.Code) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
        EXPECT_EQ(FTerminal->FSaved, c.Saved) << c.Note;
        FTerminal->ClosePort();
        for (std::thread& helper : FHelpers)
            helper.join();
        FHelpers.clear();
    }
}

TEST_F(SiemensReceiveTest, ClosedOrVanishedPortFails) {
    EXPECT_FALSE(FTerminal->ReceiveSMS());
    EXPECT_EQ(FTerminal->FErrorCode, 5) << "port not open";

    OpenDirect();
    FSim.SetSilent(true);
    FHelpers.emplace_back([this] {
        if (FSim.WaitForCommandCount("at+cmgl", 1, 10000))
            FSim.Unplug();
    });
    FTerminal->FSettings.ModemTimeoutMs = 10000;
    EXPECT_FALSE(FTerminal->ReceiveSMS());
    EXPECT_EQ(FTerminal->FErrorCode, 6) << "an unplug during the read is a port failure";
    EXPECT_TRUE(FTerminal->FComPort.HasErrors());
}

} // namespace
} // namespace qvx
