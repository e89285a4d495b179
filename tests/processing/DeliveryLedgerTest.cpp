// The worker's delivery bookkeeping: which rows a pass skips, the age of what the terminal
// holds, and the pause after a failed stamp.
#include "processing/DeliveryLedger.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

namespace qvx {
namespace {

constexpr int32_t Id = 7;
using TEvent = void (*)(TDeliveryLedger&);
constexpr TEvent HandOver = [](TDeliveryLedger& l) { l.HandedOver(Id, 1000); };
constexpr TEvent Acknowledge = [](TDeliveryLedger& l) { l.Acknowledged(Id); };
constexpr TEvent GiveUp = [](TDeliveryLedger& l) { l.GivenUp(Id, 1000); };
constexpr TEvent Return = [](TDeliveryLedger& l) { l.Returned(Id); };
constexpr TEvent StopTerminal = [](TDeliveryLedger& l) { l.TerminalStopped(); };
constexpr TEvent Reload = [](TDeliveryLedger& l) { l.Reloaded(); };
constexpr TEvent Stamp = [](TDeliveryLedger& l) { l.Stamped(l.Unstamped()); };
constexpr TEvent HourMinus1 = [](TDeliveryLedger& l) { l.ExpireGivenUp(1000 + 3599); };
constexpr TEvent Hour = [](TDeliveryLedger& l) { l.ExpireGivenUp(1000 + 3600); };

TEST(DeliveryLedger, AMessageIsNeverACandidateWhileSomeoneHoldsIt) {
    struct {
        std::initializer_list<TEvent> Events;
        bool Skipped;
        const char* Note;
    } const cases[] = {
        {{}, false, "a new row is a candidate"},
        {{HandOver}, true, "the terminal holds it"},
        {{HandOver, Return}, false, "returned outside the window: a later pass tries again"},
        {{HandOver, StopTerminal}, false, "what a stopped terminal held goes with a later pass"},
        {{HandOver, Acknowledge}, true, "acknowledged, its row not stamped yet"},
        {{HandOver, Acknowledge, StopTerminal, Reload},
         true,
         "an acknowledged message stays skipped across a restart of the terminal and a reload"},
        {{HandOver, Acknowledge, Stamp}, false, "stamped: the database no longer lists it"},
        {{HandOver, GiveUp, StopTerminal}, true, "given up, skipped across a terminal restart"},
        {{HandOver, GiveUp, Reload}, false, "a reload tries the given-up messages again"},
        {{HandOver, GiveUp, HourMinus1}, true, "given up less than an hour ago"},
        {{HandOver, GiveUp, Hour}, false, "an hour after it was given up it is tried again"},
        {{HandOver, Acknowledge, Hour}, true, "the hour ends no wait for a stamp"},
    };
    for (const auto& c : cases) {
        TDeliveryLedger ledger;
        for (const TEvent event : c.Events)
            event(ledger);
        EXPECT_EQ(ledger.Skipped(Id), c.Skipped) << c.Note;
        EXPECT_FALSE(ledger.Skipped(Id + 1)) << c.Note << ": another message is untouched";
    }
}

TEST(DeliveryLedger, OldestQueuedFollowsWhatTheTerminalHolds) {
    TDeliveryLedger ledger;
    EXPECT_EQ(ledger.OldestQueuedAt(), 0) << "nothing handed over";
    ledger.HandedOver(5, 100);
    ledger.HandedOver(6, 90);
    ledger.HandedOver(7, 120);
    ledger.HandedOver(7, 80); // already held: keeps the moment it was first handed over
    EXPECT_EQ(ledger.OldestQueuedAt(), 90);
    ledger.Acknowledged(6);
    EXPECT_EQ(ledger.OldestQueuedAt(), 100) << "an acknowledged message left the terminal";
    ledger.GivenUp(5, 130);
    EXPECT_EQ(ledger.OldestQueuedAt(), 120) << "a given-up message left the terminal";
    ledger.TerminalStopped();
    EXPECT_EQ(ledger.OldestQueuedAt(), 0) << "a stopped terminal holds nothing";
}

// A failed stamp pauses further tries, counted on the tick, also across its wrap-around.
TEST(DeliveryLedger, StampRetryWaitsOutItsPause) {
    for (const uint32_t failedAt : {1000u, 0xFFFFF000u}) {
        TDeliveryLedger ledger;
        ledger.Acknowledged(2);
        ledger.Acknowledged(1);
        EXPECT_EQ(ledger.DueForStamp(failedAt), (std::vector<int32_t>{1, 2}));
        ledger.StampFailed(failedAt);
        ledger.Acknowledged(3);
        const uint32_t due = failedAt + TDeliveryLedger::StampRetryMs;
        EXPECT_TRUE(ledger.DueForStamp(due - 1).empty()) << "tick " << failedAt;
        EXPECT_EQ(ledger.Unstamped(), (std::vector<int32_t>{1, 2, 3}))
            << "the last try before a stop does not wait";
        EXPECT_EQ(ledger.DueForStamp(due), (std::vector<int32_t>{1, 2, 3})) << "tick " << failedAt;
        ledger.Stamped({1, 2});
        EXPECT_EQ(ledger.DueForStamp(due), (std::vector<int32_t>{3}))
            << "an id acknowledged meanwhile waits for the next stamp";
        EXPECT_EQ(ledger.DueForStamp(due + 0x80000000u), (std::vector<int32_t>{3}))
            << "a stamp that succeeded ended the pause: 25 days later it must not hold again";
        EXPECT_TRUE(ledger.Skipped(3));

        ledger.StampRefused({3}, due);
        ledger.Acknowledged(4);
        EXPECT_EQ(ledger.DueForStamp(due + 1), (std::vector<int32_t>{4}))
            << "a row refused on its own does not hold up the next ones";
        EXPECT_EQ(ledger.DueForStamp(due + TDeliveryLedger::StampRetryMs),
                  (std::vector<int32_t>{3, 4}))
            << "the refused row is tried again after its pause";
    }
}

} // namespace
} // namespace qvx
