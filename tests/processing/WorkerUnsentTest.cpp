// A row is stamped only when the network acknowledged its message: whatever the terminal still
// held at a reload or stop, returned at the end of the window, gave up or could not stamp stays
// unsent, and goes out with a later pass (or, given up, after a reload).
#include "WorkerHarness.h"

#include <algorithm>

namespace qvx {
namespace {

using test::TSimWorkerTest;
using test::WaitUntil;
using test::ZoneWithLocalHour;

class WorkerUnsentTest : public TSimWorkerTest {
protected:
    // Hands the first message over and lets the terminal send it; the simulator then withholds
    // the answers, so the two others stay queued in the terminal.
    void HandOverWithTwoQueued() {
        FSent = AddMessage("'+79160000001'", "'sent'", 30);
        Cycle(true);
        ASSERT_TRUE(WaitSent({FSent})) << "the first message must be acknowledged";
        FSim.SetSubmitReply(TSubmitReply::NoFinalAnswer);
        FFirstQueued = AddMessage("'+79160000002'", "'queued 1'", 20);
        FSecondQueued = AddMessage("'+79160000003'", "'queued 2'", 10);
        Cycle(true);
        ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "the terminal must be stuck on a PDU";
        ASSERT_EQ(FWorker->Counters().Outgoing.load(), 2) << "both messages must still be queued";
        ASSERT_FALSE(IsSent(FFirstQueued) || IsSent(FSecondQueued))
            << "handed-over rows must wait for their acknowledgement";
    }
    // Four messages queued behind slow answers; once the first is out, the clock of the
    // sending rules jumps by shiftSec while the rest wait.
    std::vector<int32_t> ShiftWhileQueued(int64_t shiftSec) {
        FSim.SetAnswerDelayMs(150);
        std::vector<int32_t> ids;
        for (int i = 1; i <= 4; ++i)
            ids.push_back(AddMessage("'+7916000000" + std::to_string(i) + "'",
                                     "'m" + std::to_string(i) + "'", 30));
        Cycle(true);
        EXPECT_TRUE(FSim.WaitForSubmitted(1, 10000));
        FClockShiftSec.store(shiftSec);
        EXPECT_TRUE(WaitUntil([this] { return FWorker->Counters().Outgoing.load() == 0; }));
        EXPECT_TRUE(WaitUntil([this] {
            return FWorker->Counters().Acknowledged.load() == int64_t(FSim.SubmittedCount());
        }));
        return ids;
    }
    std::string MaybeSent(int32_t msgId) const {
        return "Сообщение ID=" + std::to_string(msgId) +
               ": сеть не ответила на отправку, сообщение могло быть доставлено";
    }
    std::string Unstamped(int32_t msgId) const {
        return "Сообщение ID=" + std::to_string(msgId) +
               " отправлено, но не отмечено в базе данных: будет отмечено при следующем запуске";
    }

    int32_t FSent = 0;
    int32_t FFirstQueued = 0;
    int32_t FSecondQueued = 0;
};

TEST_F(WorkerUnsentTest, AReloadLeavesTheQueuedMessagesToALaterPass) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    HandOverWithTwoQueued();
    const size_t before = Log().size();
    // The stop hears out the PDU on its way for the frame wait (the network never answers it),
    // and the worker stays alive for the watchdog meanwhile.
    uint32_t silentMs = 0;
    FWorker->PostCommand(CommandReload);
    ASSERT_TRUE(WaitUntil(
        [&] {
            silentMs = std::max(silentMs, GetTickCount() - FWorker->Heartbeat());
            const auto lines = LogSince(before);
            return !lines.empty() && lines.back() == "Новые настройки применены";
        },
        40000));
    WaitTerminalReady();
    EXPECT_LT(silentMs, 15000u);
    for (const auto& line : LogSince(before)) {
        if (line != MaybeSent(FFirstQueued)) {
            EXPECT_EQ(line.find("Сообщение"), std::string::npos)
                << "nothing is returned to the database, because nothing queued was stamped";
        }
    }
    EXPECT_TRUE(IsSent(FSent)) << "a message the terminal sent stays stamped";
    EXPECT_FALSE(IsSent(FFirstQueued) || IsSent(FSecondQueued));

    FSim.SetSubmitReply(TSubmitReply::Ok);
    FSim.ClearSubmitted();
    Cycle(true);
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "the next pass must send them again";
    EXPECT_TRUE(WaitSent({FFirstQueued, FSecondQueued}));
}

TEST_F(WorkerUnsentTest, AStopStampsNothingQueued) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    HandOverWithTwoQueued();
    const size_t before = Log().size();
    StopWorker();
    EXPECT_EQ(LogSince(before), std::vector<std::string>{MaybeSent(FFirstQueued)})
        << "the PDU on its way got no answer: the operator learns that it may have gone";
    EXPECT_TRUE(IsSent(FSent));
    EXPECT_FALSE(IsSent(FFirstQueued) || IsSent(FSecondQueued));
}

TEST_F(WorkerUnsentTest, AStopWithoutDatabaseNamesTheUnstampedMessages) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    FDb->Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE "
              "EXCEPTION 'database is read-only'; END $$; CREATE TRIGGER refuse BEFORE UPDATE "
              "ON msgdelivery FOR EACH ROW EXECUTE FUNCTION refuse()");
    const int32_t first = AddMessage("'+79160000001'", "'first'", 30);
    const int32_t second = AddMessage("'+79160000002'", "'second'", 20);
    Cycle(true);
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().Acknowledged.load() == 2; }));
    StopWorker();
    const auto lines = Log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(
        lines[lines.size() - 3].rfind("Ошибка отметки сообщения ID=" + std::to_string(second), 0),
        0u)
        << lines[lines.size() - 3];
    EXPECT_EQ(lines[lines.size() - 2], Unstamped(first));
    EXPECT_EQ(lines.back(), Unstamped(second));
}

TEST_F(WorkerUnsentTest, MessagesQueuedWhenTheWindowClosesWaitForTheMorning) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    const std::vector<int32_t> ids = ShiftWhileQueued(10 * 3600); // 22:00 local
    const size_t sent = FSim.SubmittedCount();
    ASSERT_LT(sent, ids.size()) << "some messages must still have been queued at 22:00";
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(WaitSent({ids[i]}, i < sent ? 10000 : 0), i < sent)
            << "only acknowledged rows may read sent, message " << i + 1;
    const size_t before = Log().size();
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty()) << "nothing goes out after 21:59";

    FClockShiftSec.store(0);
    Cycle(true);
    ASSERT_TRUE(FSim.WaitForSubmitted(ids.size(), 10000)) << "the next day's pass sends the rest";
    EXPECT_TRUE(WaitSent({ids[0], ids[1], ids[2], ids[3]}));
    EXPECT_EQ(FSim.SubmittedCount(), ids.size()) << "each message once";
    EXPECT_EQ(FWorker->Counters().GivenUp.load(), 0);
}

TEST_F(WorkerUnsentTest, MessagesPastTheirLifetimeAtTheHeadAreGivenUp) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    const std::vector<int32_t> ids = ShiftWhileQueued(24 * 3600); // 24.5 hours old
    const size_t sent = FSim.SubmittedCount();
    ASSERT_LT(sent, ids.size());
    EXPECT_EQ(FWorker->Counters().GivenUp.load(), int64_t(ids.size() - sent));
    for (size_t i = sent; i < ids.size(); ++i)
        EXPECT_TRUE(LogHas("Сообщение ID=" + std::to_string(ids[i]) +
                           " не будет отправлено (тел=\"+7916000000" + std::to_string(i + 1) +
                           "\"): истек срок жизни сообщения"))
            << "message " << i + 1;
}

TEST_F(WorkerUnsentTest, ARefusedNumberIsGivenUpWithoutHoldingTheOthers) {
    UseZone(ZoneWithLocalHour(12));
    FSim.SetRefusedNumber("79160000001", 21);
    StartReady();
    const int32_t refused = AddMessage("'+79160000001'", "'refused'", 30);
    const int32_t next = AddMessage("'+79160000002'", "'next'", 20);
    const int32_t last = AddMessage("'+79160000003'", "'last'", 10);
    Cycle(true);
    EXPECT_TRUE(WaitLog("Сообщение ID=" + std::to_string(refused) +
                            " не будет отправлено (тел=\"+79160000001\"): сеть отклонила сообщение "
                            "(+CMS ERROR: 21)",
                        30000))
        << "three refusals, each after a pause of its own";
    EXPECT_TRUE(WaitSent({next, last})) << "the messages behind it must go out";
    EXPECT_FALSE(IsSent(refused));
    EXPECT_EQ(FWorker->Counters().GivenUp.load(), 1);

    const size_t before = Log().size();
    Cycle(true);
    EXPECT_TRUE(LogSince(before).empty()) << "a given-up message waits for a reload";
    FSim.SetRefusedNumber("79160000001", 0);
    Reload();
    Cycle(true);
    EXPECT_TRUE(WaitSent({refused})) << "after a reload it is tried again";
}

// A message the worker has not taken yet when the terminal stops is still logged and its
// request prepared; the SIM keeps it until then.
TEST_F(WorkerUnsentTest, StopHandlesMessagesTheTerminalHadReceived) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    AddMessage("'+79160000009'", "'earlier'", 30);
    ASSERT_FALSE(FSim.StoreText("+79160000009", "1").empty());
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().Incoming.load() == 1; }))
        << "the terminal must keep the request for the worker";
    EXPECT_EQ(FSim.StoredCount(), 1u) << "it stays on the SIM until the worker has it safe";
    const auto unsentBefore =
        FDb->Scalar("SELECT count(*) FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL");
    StopWorker();
    EXPECT_TRUE(LogHas("Принято SMS. Номер: '79160000009', текст: '1'"))
        << "the received request must not vanish with the terminal";
    EXPECT_EQ(FDb->Scalar("SELECT count(*) FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL"),
              std::optional<std::string>(std::to_string(std::stoi(unsentBefore.value()) + 1)))
        << "the account state must be prepared for the next start to send";

    // Made safe after the terminal stopped, it is deleted by the next start, not taken again.
    EXPECT_EQ(FSim.StoredCount(), 1u);
    StartReady();
    EXPECT_TRUE(WaitUntil([&] {
        Cycle(false);
        return FSim.StoredCount() == 0;
    })) << "the next start must delete it";
    const auto logged = Log();
    EXPECT_EQ(
        std::count(logged.begin(), logged.end(), "Принято SMS. Номер: '79160000009', текст: '1'"),
        1)
        << "without taking it a second time";
}

} // namespace
} // namespace qvx
