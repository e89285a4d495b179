// The waits that keep two hosts from sending one row: the grace after sessions come and go, and
// whether the server was heard lately across a suspend or a clock jump.
#include "processing/ClaimGrace.h"

#include "processing/AnswerStamp.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

constexpr uint32_t Start = 0xFFFFF000u; // the tick wraps during the test

TPeerSession Peer(const char* host, int32_t pid, int32_t modemTimeoutMs = 0) {
    return {host, pid, modemTimeoutMs};
}

TEST(ClaimGraceTest, WhatAnotherHostMayStillBeFinishingWaits) {
    TClaimGrace grace;
    grace.SetOwnModemTimeoutMs(1000);
    const uint32_t g = grace.GraceMs();
    EXPECT_EQ(g, TClaimGrace::GraceMsFor(1000));

    EXPECT_TRUE(grace.Sessions({Peer("a", 10), Peer("b", 20)}, Start).empty());
    EXPECT_TRUE(grace.MayClaim(1, Start)) << "two live hosts hold nothing back by themselves";

    // b's session was seen at Start and is gone at the next heartbeat: every row waits from
    // Start, not from when its absence was noticed.
    const uint32_t next = Start + TClaimGrace::HeartbeatMs;
    EXPECT_EQ(grace.Sessions({Peer("a", 10)}, next), (std::vector<std::string>{"b"}));
    EXPECT_FALSE(grace.MayClaim(1, Start + g - 1));
    EXPECT_TRUE(grace.MayClaim(1, Start + g));
    EXPECT_EQ(grace.LeftMs(next), g - TClaimGrace::HeartbeatMs);

    // a's session made anew (another server process) is a vanished one too.
    EXPECT_EQ(grace.Sessions({Peer("a", 11)}, Start + g), (std::vector<std::string>{"a"}));
    EXPECT_FALSE(grace.MayClaim(1, Start + g));
    EXPECT_TRUE(grace.MayClaim(1, next + g));

    // A session that said it stops cleanly holds nothing back when it is gone.
    grace.Sessions({Peer("a", 11), Peer("c", 30)}, next + g);
    grace.Stopping({30});
    EXPECT_TRUE(grace.Sessions({Peer("a", 11)}, next + g + 1).empty());
    EXPECT_TRUE(grace.MayClaim(1, next + g + 1));

    // An id seen held waits from its last sighting; others do not.
    grace.SeenHeld({5}, Start + 3 * g);
    EXPECT_FALSE(grace.MayClaim(5, Start + 4 * g - 1));
    EXPECT_TRUE(grace.MayClaim(6, Start + 3 * g));
    grace.Forget(Start + 4 * g);
    EXPECT_TRUE(grace.MayClaim(5, Start + 4 * g));
    EXPECT_FALSE(grace.AnySeenHeld());
}

TEST(ClaimGraceTest, TheLongestAnswerWaitOfAnyHostSizesTheGrace) {
    TClaimGrace grace;
    grace.SetOwnModemTimeoutMs(2000);
    grace.Renewed(Start);
    EXPECT_EQ(grace.LeftMs(Start), TClaimGrace::GraceMsFor(2000));
    grace.Sessions({Peer("slow", 7, 60000)}, Start);
    EXPECT_EQ(grace.GraceMs(), TClaimGrace::GraceMsFor(60000));
    grace.Sessions({}, Start + 1000);
    EXPECT_EQ(grace.LeftMs(Start + 1000), TClaimGrace::GraceMsFor(60000) - 1000)
        << "a host that publishes a longer wait is waited for that long";
    grace.Renewed(Start + 2000);
    EXPECT_EQ(grace.LeftMs(Start + 2000), TClaimGrace::GraceMsFor(60000))
        << "a later hold extends, an earlier one never shortens";
}

TEST(ClaimGraceTest, ASessionNamePublishesItsAnswerWait) {
    EXPECT_EQ(ParseSessionName("quorvexsms@host-1.lan#30000"),
              (TPeerSession{"quorvexsms@host-1.lan", 0, 30000}));
    EXPECT_EQ(ParseSessionName("quorvexsms@old"), (TPeerSession{"quorvexsms@old", 0, 0}))
        << "an older host publishes none";
    EXPECT_EQ(ParseSessionName("quorvexsms@x#-5").ModemTimeoutMs, 0);
    const std::string name = SessionName("quorvexsms", 123456);
    EXPECT_LE(name.size(), 63u) << "the server cuts longer names";
    EXPECT_EQ(ParseSessionName(name).ModemTimeoutMs, 123456);
}

// The server answered at boot 100000 ms, wall 5000000 ms; allowance 15000 ms.
TEST(AnswerStampTest, ASuspendOrAClockJumpIsNotLately) {
    TAnswerStamp stamp;
    EXPECT_FALSE(stamp.Within(1, 1, 15000)) << "never answered";
    stamp.Mark(100000, 5000000);
    struct TCase {
        uint64_t Boot;
        int64_t Wall;
        bool Lately;
        const char* Note;
    } const cases[] = {
        {100000, 5000000, true, "just now"},
        {114999, 5014999, true, "within on both clocks"},
        {115000, 5010000, false, "the boot clock counted a suspend"},
        {101000, 5600000, false, "the wall clock jumped ahead (a VM paused and moved)"},
        {101000, 4900000, false, "the wall clock went back by more than the allowance"},
        {101000, 4999000, true, "a small step back"},
        {99000, 5000000, false, "a boot clock before the answer is no clock of this boot"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(stamp.Within(c.Boot, c.Wall, 15000), c.Lately) << c.Note;
    EXPECT_TRUE(stamp.After(99999));
    EXPECT_FALSE(stamp.After(100000)) << "an acknowledgement at the answer's moment waits";
}

} // namespace
} // namespace qvx
