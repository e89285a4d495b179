// What the worker keeps in its state file outlives the worker object: acknowledged ids the
// database did not stamp are stamped by the next worker without being sent again, one row the
// database refuses holds up no other, given-up messages stay given up for an hour, a request
// whose SIM entry cannot be deleted is answered once by whichever terminal holds the SIM, a
// bad line costs its record alone, and a foreign file is moved aside without stopping the
// start.
#include "WorkerHarness.h"

#include <dirent.h>
#include <sstream>
#include <sys/stat.h>

namespace qvx {
namespace {

using test::TSimWorkerTest;
using test::WaitUntil;
using test::ZoneWithLocalHour;

class WorkerStateTest : public TSimWorkerTest {
protected:
    // Stamping refuses the rows the condition (on NEW) selects, as a constraint would.
    void RefuseStamp(const std::string& condition) {
        FDb->Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF " +
                  condition +
                  " THEN RAISE EXCEPTION 'row refused'; END IF; RETURN NEW; END $$; CREATE "
                  "TRIGGER refuse BEFORE UPDATE ON msgdelivery FOR EACH ROW EXECUTE FUNCTION "
                  "refuse()");
    }
    void AllowStamp() { FDb->Exec("DROP TRIGGER refuse ON msgdelivery"); }
    std::string StateText() const { return FDir.Read("QuorvexSMS.state"); }
    bool StateHas(const std::string& record) const {
        return StateText().find("\n" + record + " ") != std::string::npos;
    }
    // Log messages that start with prefix and hold part.
    size_t LogCount(const std::string& prefix, const std::string& part = "") const {
        size_t count = 0;
        for (const auto& line : Log())
            count += line.rfind(prefix, 0) == 0 && line.find(part) != std::string::npos;
        return count;
    }
    std::string Sent(int32_t msgId) const {
        return "Сообщение ID=" + std::to_string(msgId) + ": ОТПРАВЛЕНО";
    }
};

TEST_F(WorkerStateTest, AcknowledgedIdsAreStampedAfterARestartWithoutBeingSentAgain) {
    UseZone(ZoneWithLocalHour(12));
    RefuseStamp("true");
    StartReady();
    const int32_t first = AddMessage("'+79160000001'", "'first'", 30);
    const int32_t second = AddMessage("'+79160000002'", "'second'", 20);
    Cycle(true);
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().Acknowledged.load() == 2; }));
    StopWorker();
    EXPECT_TRUE(StateHas("unstamped " + std::to_string(first)) &&
                StateHas("unstamped " + std::to_string(second)))
        << StateText();
    struct stat st {};
    ASSERT_EQ(::stat(FDir.File("QuorvexSMS.state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the state file is the service user's alone";

    AllowStamp();
    const size_t before = Log().size();
    StartReady();
    EXPECT_TRUE(WaitSent({first, second}, 2000)) << "stamped at the start, without a pass";
    Cycle(true);
    for (const auto& line : LogSince(before))
        EXPECT_EQ(line.find("ОТПРАВЛЕНО"), std::string::npos) << line;
    EXPECT_EQ(FSim.SubmittedCount(), 2u) << "each message went out once";
    EXPECT_FALSE(StateHas("unstamped")) << "stamped ids leave the file: " << StateText();
}

TEST_F(WorkerStateTest, ARowTheDatabaseRefusesHoldsUpNoOther) {
    UseZone(ZoneWithLocalHour(12));
    StartReady();
    const int32_t bad = AddMessage("'+79160000001'", "'bad'", 30);
    const int32_t good = AddMessage("'+79160000002'", "'good'", 20);
    RefuseStamp("NEW.msgid = " + std::to_string(bad));
    Cycle(true);
    EXPECT_TRUE(WaitSent({good})) << "the other row must be stamped";
    const std::string refused =
        "Ошибка отметки сообщения ID=" + std::to_string(bad) + " в базе данных: ";
    ASSERT_TRUE(WaitUntil([&] { return LogCount(refused, "row refused") == 1; }))
        << "the refused row must be named with its error";
    const int32_t later = AddMessage("'+79160000003'", "'later'", 10);
    Cycle(true);
    EXPECT_TRUE(WaitSent({later}, 15000)) << "a row acknowledged later is stamped too";
    StopWorker(); // one more try, one by one, at the stop
    EXPECT_EQ(LogCount(refused), 1u) << "the same error is logged once";
    EXPECT_EQ(LogCount("Ошибка отметки сообщения"), 1u) << "no other row is named";
    EXPECT_FALSE(IsSent(bad));

    AllowStamp();
    StartReady();
    EXPECT_TRUE(WaitSent({bad})) << "the next start stamps it";
    EXPECT_EQ(FSim.SubmittedCount(), 3u) << "each message went out once";
}

TEST_F(WorkerStateTest, AGivenUpMessageWaitsAnHourAlsoAcrossARestart) {
    UseZone(ZoneWithLocalHour(12));
    FSim.SetRefusedNumber("79160000001", 21);
    StartReady();
    const int32_t refused = AddMessage("'+79160000001'", "'refused'", 30);
    Cycle(true);
    ASSERT_TRUE(WaitUntil([this] { return FWorker->Counters().GivenUp.load() == 1; }, 30000));
    StopWorker();
    EXPECT_TRUE(StateHas("givenup " + std::to_string(refused))) << StateText();

    FSim.SetRefusedNumber("79160000001", 0);
    StartReady();
    FClockShiftSec.store(3000);
    Cycle(true);
    EXPECT_EQ(LogCount(Sent(refused)), 1u) << "given up less than an hour ago: not tried";
    FClockShiftSec.store(3610);
    Cycle(true);
    EXPECT_EQ(LogCount(Sent(refused)), 2u) << "an hour after it was given up it is tried again";
    EXPECT_TRUE(WaitSent({refused}));
}

// Every terminal's SIM keeps the entries it could not delete across a restart, under its
// ICCID: no request is answered twice, and another SIM put in the terminal is not taken for it.
TEST_F(WorkerStateTest, EachSimKeepsItsUndeletableEntriesAcrossARestart) {
    UseZone(ZoneWithLocalHour(12));
    TGsmSimulator second;
    second.SetLinkPath(FDir.File("modem2"));
    second.SetIccid("8970199000000000002");
    ASSERT_TRUE(second.Start()) << second.LastError();
    WriteIni("Device=" + FSim.LinkPath() + "\r\n[GSMTerminal2]\r\nDevice=" + second.LinkPath());
    TGsmSimulator* const sims[] = {&FSim, &second};
    const std::string phones[] = {"79161234567", "79161234568"};
    int32_t indexes[2] = {};
    for (int t = 0; t < 2; ++t) {
        FDb->Exec("INSERT INTO abonents (cellphone, name, balance) VALUES ('+" + phones[t] +
                  "', 'A', 5)");
        const std::vector<int32_t> stored = sims[t]->StoreText("+" + phones[t], "1");
        ASSERT_EQ(stored.size(), 1u);
        indexes[t] = stored[0];
        sims[t]->SetDeleteError(indexes[t], 500);
    }
    const auto received = [&](int t) {
        return LogCount("Принято SMS. Номер: '" + phones[t] + "', текст: '1'");
    };
    const auto listedTwice = [&] {
        const int32_t before[] = {FSim.CommandCount("at+cmgl"), second.CommandCount("at+cmgl")};
        return WaitUntil([&] {
            return FSim.CommandCount("at+cmgl") >= before[0] + 2 &&
                   second.CommandCount("at+cmgl") >= before[1] + 2;
        });
    };
    StartReady();
    ASSERT_TRUE(WaitUntil([&] {
        Cycle(false);
        return received(0) == 1 && received(1) == 1 && StateHas("entry 8970199123456789012") &&
               StateHas("entry 8970199000000000002");
    })) << "answered, and each failed deletion kept under its SIM: "
        << StateText();
    StopWorker();

    const struct {
        const char* Iccid;
        size_t Answered;
        const char* Note;
    } restarts[] = {
        {"8970199000000000002", 1, "the same SIMs"},
        {"8970199000000000003", 2, "another SIM in terminal 2, for which the entry is new"},
    };
    for (const auto& restart : restarts) {
        second.SetIccid(restart.Iccid);
        StartReady();
        ASSERT_TRUE(listedTwice()) << restart.Note;
        Cycle(false);
        EXPECT_EQ(received(0), 1u) << restart.Note << ": terminal 1 answers once";
        EXPECT_EQ(received(1), restart.Answered) << restart.Note << ": terminal 2";
        StopWorker();
    }
    EXPECT_TRUE(StateHas("entry 8970199000000000002") && StateHas("entry 8970199000000000003"))
        << "the entry of the SIM taken out stays for it: " << StateText();

    for (int t = 0; t < 2; ++t)
        sims[t]->SetDeleteError(indexes[t], 0);
    StartReady();
    EXPECT_TRUE(WaitUntil([&] { return FSim.StoredCount() == 0 && second.StoredCount() == 0; }))
        << "they are deleted still";
    StopWorker();
    EXPECT_FALSE(StateHas("entry 8970199123456789012") || StateHas("entry 8970199000000000003"))
        << "deleted entries leave the file: " << StateText();
    EXPECT_EQ(received(0) + received(1), 3u) << "and are not handed over again";
}

// Three restarts with a wrong PIN spend one of the SIM's three attempts in all; another SIM
// in the terminal, or another PIN in the INI file, is tried.
TEST_F(WorkerStateTest, ARefusedPinIsNotSentAgainAfterARestart) {
    FSim.SetPin("1234");
    WriteIni("Device=" + FSim.LinkPath() + "\r\nPIN=9999");
    for (int start = 0; start < 3; ++start) {
        StartWorker();
        ASSERT_TRUE(WaitUntil([&] { return FWorker->Status().PinWait == 1; })) << start;
        EXPECT_EQ(FWorker->Status().KeptRefusedPins, 1) << start;
        StopWorker();
    }
    EXPECT_EQ(FSim.CommandCount("at+cpin"), 1) << "one attempt in all";
    EXPECT_EQ(FSim.PinAttemptsLeft(), 2) << "the SIM is not locked";
    std::istringstream fields(StateText());
    for (std::string field; fields >> field;)
        EXPECT_NE(field, "9999") << "no PIN in clear text";
    EXPECT_TRUE(StateHas("pin 8970199123456789012")) << StateText();

    FSim.SetIccid("8970199000000000001");
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return FSim.CommandCount("at+cpin") == 2; }))
        << "another SIM is tried";
    StopWorker();
    FSim.SetIccid("8970199123456789012");
    WriteIni("Device=" + FSim.LinkPath() + "\r\nPIN=1234");
    StartReady();
    EXPECT_EQ(FSim.CommandCount("at+cpin"), 3) << "the PIN the INI file changed is sent";
    EXPECT_EQ(FSim.PinAttemptsLeft(), 3);
    StopWorker();
    EXPECT_FALSE(StateHas("pin 8970199123456789012")) << "an accepted PIN clears its SIM's record";
}

// A bad line costs its own record, with a line in the log; a file that is not this program's
// goes aside whole. Neither stops the start.
TEST_F(WorkerStateTest, ABadLineCostsItsRecordAndAForeignFileGoesAside) {
    UseZone(ZoneWithLocalHour(12));
    const int32_t acknowledged = AddMessage("'+79160000001'", "'acknowledged'", 30);
    FDir.Write("QuorvexSMS.state", "version 1\nunstamped twelve 2026-12-07T12:00:00Z\nunstamped " +
                                       std::to_string(acknowledged) + " 2026-12-07T12:00:00Z\n");
    StartReady();
    EXPECT_TRUE(WaitSent({acknowledged})) << "the good record behind the bad line is kept";
    EXPECT_TRUE(LogHas("Файл состояния " + FDir.File("QuorvexSMS.state") +
                       ": строка 2 пропущена (неверная запись unstamped)"))
        << "one line names the bad line";
    StopWorker();
    EXPECT_EQ(FSim.SubmittedCount(), 0u) << "the acknowledged message is not sent again";

    FDir.Write("QuorvexSMS.state", "unstamped 12 2026-12-07T12:00:00Z\n");
    StartReady();
    const int32_t msg = AddMessage("'+79160000002'", "'after'", 30);
    Cycle(true);
    EXPECT_TRUE(WaitSent({msg}));
    std::string aside;
    DIR* dir = ::opendir(FDir.Path().c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir))
        if (std::string(entry->d_name).rfind("QuorvexSMS.state.bad-", 0) == 0)
            aside = entry->d_name;
    ::closedir(dir);
    ASSERT_FALSE(aside.empty()) << "the foreign file must be kept aside";
    EXPECT_EQ(FDir.Read(aside), "unstamped 12 2026-12-07T12:00:00Z\n");
    EXPECT_TRUE(LogHas("Файл состояния " + FDir.File("QuorvexSMS.state") +
                       " повреждён (нет строки версии), он перенесён в " + FDir.File(aside)))
        << "one line says what happened";
}

} // namespace
} // namespace qvx
