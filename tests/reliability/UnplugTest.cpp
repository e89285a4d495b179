// The terminal's cable pulled and put back again and again while hundreds of messages wait in
// the terminal's queue: each one must reach the terminal, and one may go out twice only when
// the cable was pulled before its acknowledgement came back.
#include "reliability/ReliabilityHarness.h"

#include <algorithm>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

class UnplugTest : public TReliabilityTest {};

TEST_F(UnplugTest, EveryMessageArrivesThroughRepeatedUnplugs) {
    const uint32_t seed = CaseSeed();
    std::mt19937 random(seed);
    const int32_t messageCount = Scaled(500, 40);
    const int32_t unplugCount = Scaled(50, 6);
    PrintFigures("unplug: seed " + std::to_string(seed) + " (QVX_RELIABILITY_SEED repeats it)");

    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "U");
    ASSERT_EQ(seeded.size(), static_cast<size_t>(messageCount)) << "seeding failed";
    const std::set<std::string> texts = TextsOf(seeded);
    WriteIni();
    const auto start = std::chrono::steady_clock::now();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());

    // Half of the unplugs come right after a submission, before its acknowledgement; the
    // other half at a random moment of the dialogue.
    int32_t cutsArmed = 0;
    std::uniform_int_distribution<int> jitterMs(0, 40);
    std::uniform_int_distribution<int> holdMs(0, 150);
    for (int32_t round = 0; round < unplugCount; ++round) {
        const size_t target = static_cast<size_t>((round + 1) * messageCount / (unplugCount + 1));
        ASSERT_TRUE(WaitUntil([&] { return FLedger.DistinctOf(texts) >= target; }, 60000))
            << "deliveries stalled before unplug " << round + 1 << " at "
            << FLedger.DistinctOf(texts) << " of " << target << Diagnostics();
        if (round % 2 == 0) {
            FLedger.ArmCut();
            cutsArmed += FLedger.WaitCutRequest(10000);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(jitterMs(random)));
        }
        ASSERT_TRUE(FSim.Unplug()) << "the simulator could not unplug";
        FLedger.NoteUnplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs(random)));
        ASSERT_TRUE(FSim.Plug()) << "the simulator could not plug back: " << FSim.LastError();
    }
    const bool all =
        WaitUntil([&] { return FLedger.DistinctOf(texts) == texts.size(); }, 120000, 20);
    const double seconds = SecondsSince(start);

    std::ostringstream missing;
    const auto counts = FLedger.Counts();
    for (const std::string& text : texts)
        if (!counts.count(text))
            missing << " \"" << text << "\"";
    EXPECT_TRUE(all) << "messages never reached the terminal:" << missing.str() << Diagnostics();
    for (const auto& [text, count] : counts)
        EXPECT_TRUE(texts.count(text)) << "the terminal received a text nobody sent: " << text;
    const std::vector<std::string> wrong = FLedger.RepeatsWithoutCut(FSim);
    EXPECT_TRUE(wrong.empty()) << wrong.size()
                               << " messages went out again although their acknowledgement "
                                  "was not cut off, the first: "
                               << (wrong.empty() ? "" : wrong.front());
    EXPECT_LE(FLedger.Repeats(), unplugCount) << "more repeats than unplugs";
    EXPECT_TRUE(WaitAllStamped()) << UnsentCount() << " acknowledged messages left unstamped";
    EXPECT_EQ(StampedUnacknowledged(seeded).size(), 0u) << "stamped but never acknowledged";
    EXPECT_TRUE(service->Running()) << "the program must survive the unplugs" << Diagnostics();
    const double stopSeconds = StopService(*service);

    std::ostringstream figures;
    figures << "unplug: " << messageCount << " messages, " << unplugCount << " unplugs ("
            << cutsArmed << " right after a submission), " << FLedger.Total() << " PDUs, "
            << FLedger.Repeats() << " repeats, " << FLedger.SubmissionsBeforeUnplug()
            << " submissions just before an unplug, " << TDeliveryLedger::Unacknowledged(FSim)
            << " acknowledgements that never went out whole, " << TerminalLogCountPrefix(ReinitLine)
            << " re-initialisations, " << seconds << " s in all (" << messageCount / seconds
            << " messages/s), stop in " << stopSeconds << " s";
    PrintFigures(figures.str());
}

} // namespace
} // namespace qvx::test
