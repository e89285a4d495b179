// Messages handed to the terminal but never sent are returned to the database when the
// terminal is stopped (reload, stop), so that a later pass sends them again.
#include "WorkerHarness.h"

namespace qvx {
namespace {

using test::TSimWorkerTest;
using test::TZoneGuard;
using test::WaitUntil;
using test::ZoneWithLocalHour;

class WorkerUnsentTest : public TSimWorkerTest {
protected:
    std::string Returned(int32_t msgId) const {
        return "Сообщение ID=" + std::to_string(msgId) +
               " не отправлено GSM терминалом, будет отправлено повторно";
    }
    std::string Lost(int32_t msgId) const {
        return "Сообщение ID=" + std::to_string(msgId) +
               " не отправлено GSM терминалом и потеряно: нет связи с базой данных";
    }
    // Hands the first message over and lets the terminal send it; the simulator then withholds
    // the answers, so the two others stay queued in the terminal.
    void HandOverWithTwoQueued() {
        FSent = AddMessage("'+79160000001'", "'sent'", 30);
        Cycle(true);
        ASSERT_TRUE(FSim.WaitForSubmitted(1, 10000));
        ASSERT_TRUE(WaitUntil([this] { return FWorker->OutgoingCount() == 0; }))
            << "the terminal must finish the first message";
        FSim.SetSubmitReply(TSubmitReply::NoFinalAnswer);
        FFirstQueued = AddMessage("'+79160000002'", "'queued 1'", 20);
        FSecondQueued = AddMessage("'+79160000003'", "'queued 2'", 10);
        Cycle(true);
        ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "the terminal must be stuck on a PDU";
        ASSERT_EQ(FWorker->OutgoingCount(), 2) << "both messages must still be queued";
        ASSERT_TRUE(IsSent(FSent) && IsSent(FFirstQueued) && IsSent(FSecondQueued))
            << "handed-over rows are stamped at once";
    }

    int32_t FSent = 0;
    int32_t FFirstQueued = 0;
    int32_t FSecondQueued = 0;
};

TEST_F(WorkerUnsentTest, ReloadReturnsTheQueuedMessages) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    HandOverWithTwoQueued();
    const size_t before = Log().size();
    Reload();
    const auto lines = LogSince(before);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2),
              (std::vector<std::string>{Returned(FFirstQueued), Returned(FSecondQueued)}))
        << "one line per returned message, oldest first, before the new settings";
    EXPECT_EQ(lines.back(), "Новые настройки применены");
    EXPECT_TRUE(IsSent(FSent)) << "a message the terminal sent stays stamped";
    EXPECT_FALSE(IsSent(FFirstQueued) || IsSent(FSecondQueued))
        << "queued messages must be unsent again";

    FSim.SetSubmitReply(TSubmitReply::Ok);
    FSim.ClearSubmitted();
    Cycle(true);
    ASSERT_TRUE(FSim.WaitForSubmitted(2, 10000)) << "the next pass must send them again";
    EXPECT_TRUE(IsSent(FFirstQueued) && IsSent(FSecondQueued));
}

TEST_F(WorkerUnsentTest, StopReturnsTheQueuedMessages) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    HandOverWithTwoQueued();
    const size_t before = Log().size();
    StopWorker();
    EXPECT_EQ(LogSince(before),
              (std::vector<std::string>{Returned(FFirstQueued), Returned(FSecondQueued)}));
    EXPECT_TRUE(IsSent(FSent));
    EXPECT_FALSE(IsSent(FFirstQueued) || IsSent(FSecondQueued));
}

TEST_F(WorkerUnsentTest, StopWithoutDatabaseNamesTheLostMessages) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    HandOverWithTwoQueued();
    FDb->Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE "
              "EXCEPTION 'database is read-only'; END $$; CREATE TRIGGER refuse BEFORE UPDATE "
              "ON msgdelivery FOR EACH ROW EXECUTE FUNCTION refuse()");
    const size_t before = Log().size();
    StopWorker();
    const auto lines = LogSince(before);
    ASSERT_EQ(lines.size(), 3u) << "the error, then one line per lost message";
    EXPECT_EQ(lines[0].rfind("Ошибка: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], Lost(FFirstQueued));
    EXPECT_EQ(lines[2], Lost(FSecondQueued));
}

// The terminal deletes a message from the SIM as soon as it has read it; one the worker has
// not taken yet when the terminal stops must still be logged and its request prepared.
TEST_F(WorkerUnsentTest, StopHandlesMessagesTheTerminalHadReceived) {
    const TZoneGuard zone(ZoneWithLocalHour(12));
    StartReady();
    AddMessage("'+79160000009'", "'earlier'", 30);
    ASSERT_FALSE(FSim.StoreText("+79160000009", "1").empty());
    ASSERT_TRUE(WaitUntil([this] {
        return FSim.StoredCount() == 0 && FWorker->IncomingCount() == 1;
    })) << "the terminal must take the request off the SIM and keep it for the worker";
    const auto unsentBefore =
        FDb->Scalar("SELECT count(*) FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL");
    StopWorker();
    EXPECT_TRUE(LogHas("Принято SMS. Номер: '79160000009', текст: '1'"))
        << "the received request must not vanish with the terminal";
    EXPECT_EQ(FDb->Scalar("SELECT count(*) FROM msgdelivery WHERE chanid = 0 AND sentdt IS NULL"),
              std::optional<std::string>(std::to_string(std::stoi(unsentBefore.value()) + 1)))
        << "the account state must be prepared for the next start to send";
}

} // namespace
} // namespace qvx
