// The hold of the outgoing queue over a run of network-wide refusals, on ticks given by hand.
#include "terminal/SubmissionHold.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

TEST(SubmissionHoldTest, HoldsAfterARunAndBacksOffUntilTheNetworkAnswers) {
    struct TStep {
        char Event;    // 'n' network-wide refusal, 'a' answered otherwise
        uint32_t Tick; // when it happens
        bool Reported; // it starts or ends the hold
        uint32_t BackOffMs;
        const char* Note;
    };
    // Ticks start just below the wrap-around, so that the back-off is judged across it.
    constexpr uint32_t T = 0xFFFFF000u;
    const TStep steps[] = {
        {'n', T, false, 0, "one refusal holds nothing"},
        {'a', T + 10, false, 0, "an answer ends the run"},
        {'n', T + 20, false, 0, "a new run"},
        {'n', T + 30, false, 0, ""},
        {'n', T + 40, true, 5000, "the third in a row starts the hold"},
        {'n', T + 5040, false, 10000, "a try after the back-off doubles it"},
        {'n', T + 15040, false, 20000, ""},
        {'n', T + 35040, false, 40000, ""},
        {'n', T + 75040, false, 80000, ""},
        {'n', T + 155040, false, 160000, ""},
        {'n', T + 315040, false, 300000, "the back-off stops at five minutes"},
        {'a', T + 615040, true, 0, "the first answer ends the hold, once"},
    };
    TSubmissionHold hold;
    for (const TStep& s : steps) {
        ASSERT_TRUE(hold.MayTry(s.Tick)) << s.Note << ": a try at the end of the back-off";
        const bool reported = s.Event == 'n' ? hold.NetworkRefused(s.Tick) : hold.Answered();
        EXPECT_EQ(reported, s.Reported) << s.Note;
        EXPECT_EQ(hold.BackOffMs(), s.BackOffMs) << s.Note;
        if (hold.Held()) {
            EXPECT_FALSE(hold.MayTry(s.Tick + s.BackOffMs - 1)) << s.Note << ": tried too early";
        }
    }
}

} // namespace
} // namespace qvx
