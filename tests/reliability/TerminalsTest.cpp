// Several terminals around the real quorvexsms program: a SIM's daily limit that a kill and a
// restart do not reset, and two programs on one database that never send a message twice.
#include "reliability/ReliabilityHarness.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

// How often each text was acknowledged (its +CMGS and OK gone out whole), over sims.
std::map<std::string, int32_t> AcknowledgedTexts(const std::vector<const TGsmSimulator*>& sims) {
    std::map<std::string, int32_t> counts;
    for (const TGsmSimulator* sim : sims)
        for (const TSubmittedSms& sms : sim->Submitted())
            counts[sms.View.Text] += sms.Accepted && sms.Acknowledged ? 1 : 0;
    return counts;
}

int32_t AcknowledgedCount(const TGsmSimulator& sim) {
    int32_t count = 0;
    for (const TSubmittedSms& sms : sim.Submitted())
        count += sms.Accepted && sms.Acknowledged;
    return count;
}

bool AllAcknowledged(const TSeeded& seeded, const std::vector<const TGsmSimulator*>& sims) {
    const auto counts = AcknowledgedTexts(sims);
    return std::all_of(seeded.begin(), seeded.end(), [&](const auto& row) {
        const auto found = counts.find(row.second);
        return found != counts.end() && found->second > 0;
    });
}

// Texts of seeded that were not acknowledged exactly once, as "text xN".
std::string NotOnce(const TSeeded& seeded, const std::map<std::string, int32_t>& counts) {
    std::ostringstream wrong;
    size_t shown = 0;
    for (const auto& [id, text] : seeded) {
        const auto found = counts.find(text);
        const int32_t times = found == counts.end() ? 0 : found->second;
        if (times != 1 && shown++ < 10)
            wrong << " \"" << text << "\" x" << times;
    }
    return wrong.str();
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

} // namespace
} // namespace qvx::test
