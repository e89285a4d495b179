// Several terminals around the real quorvexsms program: a SIM's daily limit that a kill and a
// restart do not reset, two programs on one database that never send a message twice, a
// terminal lost or refused by its network whose messages the others send, an account answer
// that leaves from the terminal asked, and numbers kept to the terminals of their prefixes.
#include "reliability/ReliabilityHarness.h"
#include "support/Text.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

// Texts the terminal was handed, whatever it answered.
std::set<std::string> SubmittedTexts(const TGsmSimulator& sim) {
    std::set<std::string> texts;
    for (const TSubmittedSms& sms : sim.Submitted())
        texts.insert(sms.View.Text);
    return texts;
}

class TerminalsTest : public TReliabilityTest {};

// The daily count of a SIM lives in the state file: a kill and a restart in the middle of the
// day leave terminal 1 at its limit, and terminal 2 sends the rest.
TEST_F(TerminalsTest, ADailyLimitHoldsOverAKillAndARestart) {
    constexpr int32_t Limit = 50;
    const int32_t messageCount = Scaled(160, 120);
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "L");
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    WriteIni("DailyLimit=" + std::to_string(Limit) + "\r\n" + TerminalSection(2, second));
    FSim.SetAnswerDelayMs(20);
    second.SetAnswerDelayMs(20);
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return AcknowledgedCount(FSim) >= Limit / 2; }, 60000))
        << "terminal 1 acknowledged " << AcknowledgedCount(FSim) << Diagnostics();

    // The kill comes while terminal 1 waits for the answer to a submission, long after its
    // last acknowledgement was counted: the count in the state file is the true one.
    const size_t before = FSim.SubmittedCount();
    FSim.SetSubmitReply(TSubmitReply::NoFinalAnswer, 1);
    ASSERT_TRUE(WaitUntil([&] { return FSim.SubmittedCount() > before; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    service->Signal(SIGKILL);
    ASSERT_TRUE(service->WaitExit(5000).has_value());
    const int32_t atKill = AcknowledgedCount(FSim);
    ASSERT_LT(atKill, Limit) << "the kill came too late to test the restart";

    service = StartService();
    const std::vector<const TGsmSimulator*> sims{&FSim, &second};
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, sims); }, 120000))
        << "not acknowledged once:" << NotOnce(seeded, AcknowledgedTexts(sims)) << Diagnostics();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent, nothing may be given up";
    EXPECT_EQ(AcknowledgedCount(FSim), Limit)
        << "terminal 1's SIM sends exactly its daily limit over both runs";
    EXPECT_GE(LogCountContaining("Достигнут дневной лимит SIM-карты (50 SMS)"), 1u)
        << Diagnostics();
    StopService(*service);
    PrintFigures("daily limit: " + std::to_string(messageCount) + " messages, killed after " +
                 std::to_string(atKill) + " from terminal 1, " +
                 std::to_string(AcknowledgedCount(second)) + " from terminal 2, " +
                 std::to_string(FLedger.Repeats()) + " repeats");
}

// Two programs started by mistake against one database, each with two terminals of its own:
// the advisory claims let each message go out through one of them only.
TEST_F(TerminalsTest, TwoProgramsOnOneDatabaseSendEachMessageOnce) {
    const int32_t messageCount = Scaled(1000, 100);
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "T");
    ASSERT_EQ(seeded.size(), static_cast<size_t>(messageCount)) << "seeding failed";
    TTempDir otherDir;
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    TGsmSimulator& third = AddSimulator(otherDir, "modem");
    TGsmSimulator& fourth = AddSimulator(otherDir, "modem2");
    WriteIni(TerminalSection(2, second));
    otherDir.Write("QuorvexSMS.ini",
                   FDb->IniSection() + TerminalSection(1, third) + TerminalSection(2, fourth));
    auto one = StartService();
    TServiceProcess other(otherDir, FZone);
    ASSERT_TRUE(other.Started());

    const std::vector<const TGsmSimulator*> sims{&FSim, &second, &third, &fourth};
    const auto start = std::chrono::steady_clock::now();
    const bool all = WaitUntil([&] { return AllAcknowledged(seeded, sims); }, 180000, 100);
    const double seconds = SecondsSince(start);
    EXPECT_TRUE(all) << Diagnostics() << "\nthe other program's log:\n"
                     << otherDir.Read("QuorvexSMS.log").substr(0, 4000);
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    const auto counts = AcknowledgedTexts(sims);
    EXPECT_EQ(NotOnce(seeded, counts), "") << "messages not acknowledged exactly once";
    EXPECT_EQ(counts.size(), seeded.size()) << "the terminals received a text nobody sent";
    StopService(*one);
    other.Signal(SIGTERM);
    EXPECT_EQ(other.WaitExit(5000).value_or(-1), 0);

    std::ostringstream figures;
    figures << "two programs: " << messageCount << " messages in " << seconds << " s, terminals "
            << AcknowledgedCount(FSim) << " / " << AcknowledgedCount(second) << " and "
            << AcknowledgedCount(third) << " / " << AcknowledgedCount(fourth) << ", "
            << FLedger.Total() - messageCount << " extra PDUs";
    PrintFigures(figures.str());
}

// Terminal 2 of three loses its cable for good while the queue is long: once it has been
// away for its ModemTimeout and the grace, it is suspended, what it held goes to the others,
// and they send the rest; only the message on the line when the cable went may come twice.
TEST_F(TerminalsTest, AnUnpluggedTerminalHandsItsMessagesToTheOthers) {
    const int32_t messageCount = Scaled(600, 90);
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "H");
    ASSERT_EQ(seeded.size(), static_cast<size_t>(messageCount)) << "seeding failed";
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    TGsmSimulator& third = AddSimulator(FDir, "modem3");
    WriteIni(TerminalSection(2, second) + TerminalSection(3, third));
    const std::vector<const TGsmSimulator*> sims{&FSim, &second, &third};
    for (TGsmSimulator* sim : {&FSim, &second, &third})
        sim->SetAnswerDelayMs(10);
    auto service = StartService();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return AcknowledgedCount(second) >= messageCount / 6; }, 60000))
        << "terminal 2 acknowledged " << AcknowledgedCount(second) << Diagnostics();

    ASSERT_TRUE(second.Unplug());
    FLedger.NoteUnplug();
    const auto unplugged = std::chrono::steady_clock::now();
    const int32_t leftAtUnplug = messageCount - AcknowledgedCount(FSim) -
                                 AcknowledgedCount(second) - AcknowledgedCount(third);
    // ModemTimeout (1 s) and the grace (1 s) make 2 s; the rest is for a loaded machine.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return LogCountContaining("Сообщения GSM терминала переданы другим терминалам: ") > 0;
        },
        10000, 10))
        << "terminal 2's messages were not handed over" << Diagnostics();
    const double handoverSeconds = SecondsSince(unplugged);
    EXPECT_EQ(
        LogCountContaining("GSM терминал приостановлен на 60 с: нет связи с GSM терминалом [2]"),
        1u)
        << Diagnostics();
    EXPECT_GT(leftAtUnplug, messageCount / 3) << "the unplug came too late to test the rest";
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, sims); }, 120000))
        << "not acknowledged:" << NotOnce(seeded, AcknowledgedTexts(sims)) << Diagnostics();
    const double seconds = SecondsSince(start);
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_LE(FLedger.Repeats(), 1) << "only the message on the line may come twice";
    EXPECT_TRUE(service->Running()) << Diagnostics();
    StopService(*service);

    std::ostringstream figures;
    figures << "unplugged terminal: " << messageCount << " messages in " << seconds
            << " s, terminals " << AcknowledgedCount(FSim) << " / " << AcknowledgedCount(second)
            << " / " << AcknowledgedCount(third) << ", " << leftAtUnplug
            << " left at the unplug, handover " << handoverSeconds << " s after it, "
            << FLedger.Repeats() << " repeats";
    PrintFigures(figures.str());
}

// "+CMS ERROR: 500" says nothing about the message: a terminal whose network answers every
// submission so is suspended after three messages, none of them is given up, and the other
// terminal sends them all.
TEST_F(TerminalsTest, ATerminalItsNetworkRefusesIsSuspendedAndNothingIsGivenUp) {
    const int32_t messageCount = Scaled(120, 40);
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "N");
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    WriteIni(TerminalSection(2, second));
    second.SetSubmitReply(TSubmitReply::CmsError, 0, 500);
    FSim.SetAnswerDelayMs(20);
    auto service = StartService();
    const std::vector<const TGsmSimulator*> sims{&FSim, &second};
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, sims); }, 120000))
        << "not acknowledged:" << NotOnce(seeded, AcknowledgedTexts(sims)) << Diagnostics();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_EQ(LogCountContaining("GSM терминал приостановлен на 60 с: сеть не принимает SMS [2]"),
              1u)
        << Diagnostics();
    EXPECT_EQ(LogCountContaining("не будет отправлено"), 0u) << Diagnostics();
    EXPECT_EQ(AcknowledgedCount(FSim), messageCount);
    EXPECT_GE(second.SubmittedCount(), 3u) << "terminal 2 must have tried three messages";
    StopService(*service);
    PrintFigures("refused terminal: " + std::to_string(second.SubmittedCount()) +
                 " refusals before the suspension, " + std::to_string(messageCount) +
                 " messages sent by terminal 1");
}

// A number the network refuses for a cause of its own (1, unassigned) is given up once
// terminals that send have refused it three times, two of them different; it never holds up
// the rest, and no terminal is suspended for it.
TEST_F(TerminalsTest, AMessageRefusedThroughTwoTerminalsIsGivenUp) {
    const std::string refused = "79160000005";
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, 30, "U");
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    WriteIni(TerminalSection(2, second));
    FSim.SetRefusedNumber(refused, 1);
    second.SetRefusedNumber(refused, 1);
    auto service = StartService();
    EXPECT_TRUE(WaitUntil([&] { return LogCountContaining("не будет отправлено") > 0; }, 60000))
        << Diagnostics();
    EXPECT_TRUE(WaitUntil([&] { return UnsentCount() == 1; }, 30000)) << Diagnostics();
    std::map<const TGsmSimulator*, int32_t> tries;
    for (const TGsmSimulator* sim : {&FSim, &second})
        for (const TSubmittedSms& sms : sim->Submitted())
            tries[sim] += sms.View.Destination == refused;
    EXPECT_EQ(tries[&FSim] + tries[&second], 3) << "three refusals, then given up";
    EXPECT_GE(std::min(tries[&FSim], tries[&second]), 1) << "refused through both terminals";
    EXPECT_EQ(LogCountContaining("приостановлен"), 0u) << Diagnostics();
    StopService(*service);
}

// A "1" that terminal 2 receives while hundreds of messages wait is answered from terminal 2,
// ahead of the queue.
TEST_F(TerminalsTest, AnAccountRequestIsAnsweredFromTheTerminalThatReceivedIt) {
    const int32_t messageCount = Scaled(200, 80);
    const std::string asker = "79261234567";
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "Q");
    FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+" + asker +
              "', 'R', 12.5)");
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    WriteIni(TerminalSection(2, second));
    FSim.SetAnswerDelayMs(30);
    second.SetAnswerDelayMs(30);
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return AcknowledgedCount(second) >= 5; }, 60000)) << Diagnostics();

    const auto answers = [&](const TGsmSimulator& sim) {
        const auto sent = sim.Submitted();
        return std::count_if(sent.begin(), sent.end(), [&](const TSubmittedSms& sms) {
            return sms.View.Destination == asker &&
                   sms.View.Text.rfind(U8(u8"Состояние счета"), 0) == 0;
        });
    };
    ASSERT_FALSE(second.StoreText("+" + asker, "1").empty()) << "the SIM must take the request";
    const auto asked = std::chrono::steady_clock::now();
    const bool answered = WaitUntil([&] { return answers(second) > 0; }, 5000, 5);
    const double latency = SecondsSince(asked);
    const int32_t sentBefore = AcknowledgedCount(FSim) + AcknowledgedCount(second);
    EXPECT_TRUE(answered) << "no answer from terminal 2 within 5 s" << Diagnostics();
    EXPECT_LT(sentBefore, messageCount) << "the queue was gone before the answer left";
    const std::vector<const TGsmSimulator*> sims{&FSim, &second};
    EXPECT_TRUE(WaitUntil([&] { return AllAcknowledged(seeded, sims); }, 120000)) << Diagnostics();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent" << Diagnostics();
    EXPECT_EQ(answers(second), 1);
    EXPECT_EQ(answers(FSim), 0) << "the answer must not leave from terminal 1";
    StopService(*service);
    PrintFigures("account answer from terminal 2: " + std::to_string(latency) +
                 " s after the request, " + std::to_string(messageCount - sentBefore) +
                 " messages still queued");
}

// Terminal 2 takes the 7916 numbers only, terminal 1 is preferred for 7903, other numbers
// go through either: while terminal 2 is away its numbers wait for it rather than leave
// through terminal 1, and once it is back, a slow one, 7903 numbers still keep to terminal 1.
TEST_F(TerminalsTest, PrefixesKeepNumbersToTheirTerminals) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded only = SeedMessages(1, 20, "O", "7916");
    const TSeeded preferred = SeedMessages(1, 20, "P", "7903");
    const TSeeded anyTerminal = SeedMessages(1, 10, "A", "7495");
    TGsmSimulator& second = AddSimulator(FDir, "modem2");
    WriteIni("Prefixes=7903\r\nPrefixMode=prefer\r\n" +
             TerminalSection(2, second, "Prefixes=7916\r\nPrefixMode=only\r\n"));
    ASSERT_TRUE(second.Unplug());
    FSim.SetAnswerDelayMs(10);
    second.SetAnswerDelayMs(60);
    auto service = StartService();
    const std::vector<const TGsmSimulator*> sims{&FSim, &second};
    const auto sentOrDead = [&](const TSeeded& batch) {
        return WaitUntil([&] { return AllAcknowledged(batch, sims) || !service->Running(); },
                         60000);
    };
    for (const TSeeded* batch : {&preferred, &anyTerminal})
        EXPECT_TRUE(sentOrDead(*batch) && service->Running())
            << (service->Running() ? "" : "the program died; ")
            << "not acknowledged:" << NotOnce(*batch, AcknowledgedTexts(sims)) << Diagnostics();
    EXPECT_EQ(UnsentCount(), static_cast<int64_t>(only.size()))
        << "terminal 2's numbers must wait for it" << Diagnostics();
    service->Signal(SIGUSR1);
    EXPECT_TRUE(WaitForLog("Сообщений всего/отправлено: 20/0"))
        << "they wait in the database, read again by every pass" << Diagnostics();

    ASSERT_TRUE(second.Plug()) << second.LastError();
    const TSeeded preferredLater = SeedMessages(21, 20, "P", "7903");
    service->Signal(SIGUSR1); // a send pass reads them at once
    for (const TSeeded* batch : {&only, &preferredLater})
        EXPECT_TRUE(sentOrDead(*batch) && service->Running())
            << (service->Running() ? "" : "the program died; ")
            << "not acknowledged:" << NotOnce(*batch, AcknowledgedTexts(sims)) << Diagnostics();
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " rows left unsent";
    const std::set<std::string> first = SubmittedTexts(FSim);
    const std::set<std::string> other = SubmittedTexts(second);
    for (const auto& [id, text] : only)
        EXPECT_EQ(first.count(text), 0u) << text << " went through terminal 1";
    for (const TSeeded* batch : {&preferred, &preferredLater})
        for (const auto& [id, text] : *batch)
            EXPECT_EQ(other.count(text), 0u) << text << " went through terminal 2";
    EXPECT_EQ(FLedger.Repeats(), 0);
    StopService(*service);
}

} // namespace
} // namespace qvx::test
