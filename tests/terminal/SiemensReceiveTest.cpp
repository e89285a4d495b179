// ReceiveSMS against the simulator: direct calls on a terminal that is not started.
#include "SiemensFixture.h"
#include "infra/Codepage.h"
#include "support/Text.h"

#include <chrono>
#include <set>

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
    // A status report and a stored outgoing message are no received texts.
    const std::string report = "0006010B919761214365F7";
    const std::string outgoing = "0011000B919761214365F70000AA05E8329BFD06";
    const int32_t reportIndex = FSim.StorePdu(report);
    const int32_t outgoingIndex = FSim.StorePdu(outgoing);
    const std::vector<int32_t> good = FSim.StoreText("12345", "after");
    ASSERT_EQ(good.size(), 1u);
    EXPECT_TRUE(FTerminal->ReceiveSMS()) << LogText();
    const std::vector<TSMS> received = Received();
    ASSERT_EQ(received.size(), 1u) << "only the good entry is queued";
    EXPECT_EQ(received[0].Text, "after");
    EXPECT_EQ(FSim.DeletedIndexes(),
              (std::vector<int32_t>{bad, reportIndex, outgoingIndex, good[0]}))
        << "entries that are not handed over must not come back in every pass";
    const std::vector<std::string> expected = {
        "Нераспознанная SMS [индекс=" + std::to_string(bad) + "]: " + truncated,
        "Запись не является принятой SMS (TP-MTI=2) [индекс=" + std::to_string(reportIndex) +
            "]: " + report,
        "Запись не является принятой SMS (TP-MTI=1) [индекс=" + std::to_string(outgoingIndex) +
            "]: " + outgoing,
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
             FSim.SetSilent(true);
             AnswerAfter("at+cmgl", FSim.CommandCount("at+cmgl") + 1,
                         "\r\n+CMGL: 1,0,,16\r\n000405912143F50000111111111111110178\r\nOK\r\n");
         },
         7,
         {"Получена SMS тел=\"12345\" текст=\"x\" DCS=0", "Ошибка удаления SMS ! [at+cmgd=1<cr>]"},
         "",
         "a deletion without an answer fails when its wait has run out"},
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
        {[this] { FSim.SetListingPadBytes(300000); },
         9,
         {},
         "",
         "a listing whose rest does not end within its bound"},
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

// A store fuller than one listing can show: each listing yields the entries before its cut,
// and the next one gets the rest.
TEST_F(SiemensReceiveTest, FullStoreDrainsOverSeveralListings) {
    OpenDirect();
    const std::string filler(150, 'x');
    std::set<std::string> stored;
    for (int i = 0; i < 49; ++i) {
        const std::string text = std::to_string(100 + i) + filler;
        ASSERT_EQ(FSim.StoreText("+79161234567", text, false).size(), 1u) << i;
        stored.insert(text);
    }
    ASSERT_EQ(FSim.StoreText("+79161234568", "1").size(), 1u);
    stored.insert("1");
    std::multiset<std::string> texts;
    int32_t listings = 0;
    while (FSim.StoredCount() > 0 && listings < 5) {
        ++listings;
        EXPECT_TRUE(FTerminal->ReceiveSMS()) << "listing " << listings << "\n" << LogText();
        if (listings == 1) {
            EXPECT_GT(FSim.StoredCount(), 0u) << "the first listing is cut at its bound";
        }
        for (const TSMS& sms : Received())
            texts.insert(sms.Text);
    }
    EXPECT_EQ(FSim.StoredCount(), 0u) << "the store must drain";
    EXPECT_EQ(listings, 2);
    EXPECT_EQ(texts, std::multiset<std::string>(stored.begin(), stored.end()))
        << "every entry handed over once";
    EXPECT_EQ(FSim.DeletedIndexes().size(), 50u) << "one deletion each";
}

// An entry the terminal refuses to delete is answered once: it is not handed over again while
// it stays on the SIM, and the refusal ends the deletion's wait at once.
TEST_F(SiemensReceiveTest, UndeletableEntryIsHandedOverOnce) {
    OpenDirect();
    FTerminal->FSettings.ModemTimeoutMs = 10000;
    const int32_t stuck = FSim.StoreText("12345", "1").at(0);
    FSim.StoreText("12346", "2");
    FSim.SetDeleteError(stuck, 500);
    const auto start = std::chrono::steady_clock::now();
    std::vector<TSMS> received;
    for (int pass = 0; pass < 5; ++pass) {
        EXPECT_TRUE(FTerminal->ReceiveSMS()) << "pass " << pass << "\n" << LogText();
        EXPECT_EQ(FTerminal->FErrorCode, 0) << "the terminal answered: nothing to re-initialise";
        for (const TSMS& sms : Received())
            received.push_back(sms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "a +CMS ERROR must not wait for the 10 s timeout";
    ASSERT_EQ(received.size(), 2u) << "one answer per request";
    EXPECT_EQ(received[0].Text, "1");
    EXPECT_EQ(received[1].Text, "2");
    EXPECT_EQ(FSim.StoredCount(), 1u);
    EXPECT_EQ(FSim.CommandCount("at+cmgd"), 6) << "the deletion is tried in every pass";
    EXPECT_EQ(CountLines("Ошибка удаления SMS ! [at+cmgd=" + std::to_string(stuck) + "<cr>]"), 1u)
        << LogText();

    FSim.SetDeleteError(stuck, 0);
    EXPECT_TRUE(FTerminal->ReceiveSMS());
    EXPECT_TRUE(Received().empty()) << "deleted at last, still not handed over again";
    EXPECT_EQ(FSim.StoredCount(), 0u);
    EXPECT_EQ(FTerminal->FHandled.Size(), 0u) << "a deleted entry is forgotten";
}

// The deletion waits at least a second, however short ModemTimeout is.
TEST_F(SiemensReceiveTest, DeletionWaitsASecondWhateverTheTimeout) {
    OpenDirect();
    FTerminal->FSettings.ModemTimeoutMs = 700;
    FSim.StoreText("12345", "1");
    FSim.SetAnswerDelayMs(600);
    EXPECT_TRUE(FTerminal->ReceiveSMS()) << LogText();
    EXPECT_EQ(FSim.StoredCount(), 0u) << LogText();
    EXPECT_EQ(Received().size(), 1u);
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
