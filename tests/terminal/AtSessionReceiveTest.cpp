// The listing pass of an AT session against the simulator.
#include "TerminalFixture.h"
#include "infra/Codepage.h"
#include "support/Text.h"

#include <chrono>
#include <set>

namespace qvx {
namespace {

using test::TTerminalFixture;
using test::U8;

class AtSessionReceiveTest : public TTerminalFixture {
protected:
    // One pass that must succeed; its messages.
    std::vector<TSMS> Received(const std::string& note = "") {
        const TReceiveResult result = FSession->Receive();
        EXPECT_EQ(result.Code, TGsmResult::OK) << note << "\n" << LogText();
        return result.Messages;
    }
    void OpenWithTimeout(int32_t timeoutMs) {
        TAtSessionOptions options = Options();
        options.Settings.ModemTimeoutMs = timeoutMs;
        OpenSession(options);
    }
};

TEST_F(AtSessionReceiveTest, EntriesAreQueuedLoggedAndDeletedByIndex) {
    OpenSession();
    const std::vector<int32_t> first = FSim.StoreText("+79161234567", "hello @ 5$");
    const std::vector<int32_t> second = FSim.StoreText("12345", U8(u8"Привет"));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
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
    EXPECT_TRUE(Received("an empty store answers OK alone").empty());
    EXPECT_TRUE(LogLines().empty()) << LogText();
}

TEST_F(AtSessionReceiveTest, MalformedEntryIsLoggedDeletedAndSkipped) {
    OpenSession();
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

// A call, a USSD result and a stray line the terminal sent while it listed reach the terminal
// log and the unsolicited scan, as text between commands does; the entry is taken as usual.
TEST_F(AtSessionReceiveTest, TextInsideTheListingIsLoggedAndScanned) {
    OpenSession();
    ASSERT_EQ(FSim.StoreText("12345", "hi").size(), 1u);
    FSim.SetListingInterjection("RING\r\n\r\n+CUSD: 0,\"Balance 5\",15\r\nstray line\r\n");
    const std::vector<TSMS> received = Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].Text, "hi");
    // The flush before the deletion shows the saved text again, as every flush does until
    // the unsolicited scan takes it.
    const std::string saved =
        "FlushSave: RING<cr><lf>+CUSD: 0,\"Balance 5\",15<cr><lf>stray line<cr><lf>";
    const std::vector<std::string> expected = {
        saved, "Получена SMS тел=\"12345\" текст=\"hi\" DCS=0", saved};
    EXPECT_EQ(LogLines(), expected) << LogText();
    const TUnsolicitedEvent event = FSession->NextUnsolicited();
    EXPECT_EQ(event.Kind, TUnsolicitedKind::Ussd) << "the USSD result behind the RING is taken";
    EXPECT_EQ(event.UssdText, "Balance 5");
}

TEST_F(AtSessionReceiveTest, FailuresGiveTheirCodes) {
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
             AnswerAfter("at+cmgl", FSim.CommandCount("at+cmgl") + 1, "\r\nRING\r\n");
         },
         8,
         {"FlushSave: <cr><lf>RING<cr><lf>"},
         "\r\nRING\r\n",
         "a reply without OK goes to the saved text"},
        {[this] {
             FSim.SetSilent(true);
             AnswerAfter("at+cmgl", FSim.CommandCount("at+cmgl") + 1,
                         "\r\nRING\r\n\r\n+CMS ERROR: 302\r\n");
         },
         3,
         {"FlushSave: RING<cr><lf>"},
         "RING\r\n",
         "a refused listing fails; only the text in front of the error is stray"},
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
        OpenSession();
        c.Arrange();
        EXPECT_EQ(static_cast<int32_t>(FSession->Receive().Code), c.Code) << c.Note;
        EXPECT_EQ(LogLines(), c.Log) << c.Note << "\n" << LogText();
        EXPECT_EQ(FSession->Saved(), c.Saved) << c.Note;
        FSession->Close();
        for (std::thread& helper : FHelpers)
            helper.join();
        FHelpers.clear();
    }
}

// A store fuller than one listing can show: each listing yields the entries before its cut,
// and the next one gets the rest.
TEST_F(AtSessionReceiveTest, FullStoreDrainsOverSeveralListings) {
    OpenSession();
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
        for (const TSMS& sms : Received("listing " + std::to_string(listings)))
            texts.insert(sms.Text);
        if (listings == 1) {
            EXPECT_GT(FSim.StoredCount(), 0u) << "the first listing is cut at its bound";
        }
    }
    EXPECT_EQ(FSim.StoredCount(), 0u) << "the store must drain";
    EXPECT_EQ(listings, 2);
    EXPECT_EQ(texts, std::multiset<std::string>(stored.begin(), stored.end()))
        << "every entry handed over once";
    EXPECT_EQ(FSim.DeletedIndexes().size(), 50u) << "one deletion each";
}

// An entry the terminal refuses to delete is answered once: it is not handed over again while
// it stays on the SIM, and the refusal ends the deletion's wait at once.
TEST_F(AtSessionReceiveTest, UndeletableEntryIsHandedOverOnce) {
    OpenWithTimeout(10000);
    const int32_t stuck = FSim.StoreText("12345", "1").at(0);
    FSim.StoreText("12346", "2");
    FSim.SetDeleteError(stuck, 500);
    const auto start = std::chrono::steady_clock::now();
    std::vector<TSMS> received;
    for (int pass = 0; pass < 5; ++pass)
        for (const TSMS& sms : Received("the terminal answered: nothing to re-initialise"))
            received.push_back(sms);
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
    EXPECT_TRUE(Received().empty()) << "deleted at last, still not handed over again";
    EXPECT_EQ(FSim.StoredCount(), 0u);
    EXPECT_EQ(FSession->Handled().Size(), 0u) << "a deleted entry is forgotten";
}

// The deletion waits at least a second, however short ModemTimeout is.
TEST_F(AtSessionReceiveTest, DeletionWaitsASecondWhateverTheTimeout) {
    OpenWithTimeout(700);
    FSim.StoreText("12345", "1");
    FSim.SetAnswerDelayMs(600);
    EXPECT_EQ(Received().size(), 1u);
    EXPECT_EQ(FSim.StoredCount(), 0u) << LogText();
}

TEST_F(AtSessionReceiveTest, ClosedOrVanishedPortFails) {
    FSession = std::make_unique<TAtSession>(Options(), &FOwner);
    EXPECT_EQ(FSession->Receive().Code, TGsmResult::PortNotReady);

    OpenWithTimeout(10000);
    FSim.SetSilent(true);
    FHelpers.emplace_back([this] {
        if (FSim.WaitForCommandCount("at+cmgl", 1, 10000))
            FSim.Unplug();
    });
    EXPECT_EQ(FSession->Receive().Code, TGsmResult::PortIO)
        << "an unplug during the read is a port failure";
    EXPECT_TRUE(FSession->PortBroken());
}

} // namespace
} // namespace qvx
