// The messages waiting for a late answer, on ticks given by hand.
#include "terminal/LateAnswers.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qvx {
namespace {

TEST(LateAnswersTest, ALateAnswerGoesToTheOldestMessageStillWaiting) {
    constexpr uint32_t WindowMs = 120000;
    // Ticks start just below the wrap-around, so that ages are judged across it.
    constexpr uint32_t T = 0xFFFFF000u;
    struct TStep {
        char Event;                      // 'r' a message remembered, 'm' a late answer matched
        int32_t MsgId;                   // r: the message; m: the one expected, 0 for none
        uint32_t Tick;                   // r: when its PDU went out; m: when the answer came
        std::vector<int32_t> References; // r: acknowledged before; m: expected with the answer
        const char* Note;
    };
    const TStep steps[] = {
        {'m', 0, T, {}, "nothing waits"},
        {'r', 1, T, {}, ""},
        {'r', 2, T + 1000, {10, 11}, ""},
        {'m', 1, T + 5000, {40}, "the oldest first"},
        {'m', 2, T + WindowMs + 999, {10, 11, 41}, "1 ms before the window ends, across the wrap"},
        {'r', 3, T + 200000, {}, ""},
        {'m', 0, T + 200000 + WindowMs, {}, "at the end of the window it is forgotten"},
        {'r', 4, T + 400000, {}, ""},
        {'r', 5, T + 500000, {}, ""},
        {'m', 5, T + 400000 + WindowMs, {42}, "an expired one is passed over for the next"},
        {'r', 6, T + 600000, {}, ""},
        {'r', 7, T + 600001, {}, ""},
        {'r', 8, T + 600002, {}, ""},
        {'r', 9, T + 600003, {}, ""},
        {'r', 10, T + 600004, {}, "one more than the capacity"},
        {'m', 7, T + 600005, {43}, "the oldest went when it was full"},
        {'m', 8, T + 600005, {44}, ""},
    };
    TLateAnswers late(WindowMs);
    int32_t reference = 40;
    for (const TStep& s : steps) {
        if (s.Event == 'r') {
            late.Remember({s.MsgId, "+7900", s.Tick, s.References, true});
            continue;
        }
        const auto entry = late.Match(reference, s.Tick);
        if (s.MsgId == 0) {
            EXPECT_FALSE(entry.has_value()) << s.Note;
            continue;
        }
        ++reference;
        ASSERT_TRUE(entry.has_value()) << s.Note;
        EXPECT_EQ(entry->MsgId, s.MsgId) << s.Note;
        EXPECT_EQ(entry->References, s.References) << s.Note;
    }
    EXPECT_EQ(late.Count(), 2u) << "9 and 10 still wait";
}

} // namespace
} // namespace qvx
