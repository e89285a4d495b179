// TClaims on two connections to one real database, as two service processes would hold them.
#include "processing/Claims.h"

#include "infra/BootClock.h"
#include "infra/Thread.h"
#include "processing/ClaimSession.h"
#include "processing/Database.h"
#include "processing/DatabaseRules.h"
#include "processing/Error.h"
#include "support/PgFixture.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <numeric>

namespace qvx {
namespace {

using TIds = std::vector<int32_t>;

class ClaimsTest : public test::TPgTest {
protected:
    void SetUp() override {
        TPgTest::SetUp();
        if (HasFatalFailure())
            return;
        TConfig config("/nonexistent/");
        FDb->ApplyTo(config);
        FFirst.SetParams(DbParamsOf(config));
        FSecond.SetParams(DbParamsOf(config));
        FDb->Exec("INSERT INTO abonents (cellphone, name) VALUES ('+79161234567', 'A');"
                  "INSERT INTO msglog (abonentid, msgtext) "
                  "SELECT 1, 'text ' || n FROM generate_series(1, 400) AS n;"
                  "INSERT INTO msgdelivery (msgid, chanid) SELECT msgid, 0 FROM msglog");
    }

    // Claim locks held on the test database by any session, one row per key.
    int32_t LocksHeld() const {
        return std::stoi(
            FDb->Scalar("SELECT count(*) FROM pg_locks l JOIN pg_database d ON d.oid = l.database "
                        "WHERE l.locktype = 'advisory' AND l.objsubid = 2 AND l.classid = " +
                        std::to_string(TClaims::LockClass) + " AND d.datname = current_database()")
                .value_or("-1"));
    }
    bool LocksHeldBecome(int32_t count) const {
        return test::WaitUntil([&] { return LocksHeld() == count; });
    }

    TDatabase FFirst;
    TDatabase FSecond;
    TClaims FFirstClaims{FFirst};
    TClaims FSecondClaims{FSecond};
};

TEST_F(ClaimsTest, WhatOneSessionClaimsTheOtherCannot) {
    FDb->Exec("UPDATE msgdelivery SET sentdt = LOCALTIMESTAMP WHERE msgid = 5");
    EXPECT_EQ(FFirstClaims.Claim({3, 1, 5, 2}), (TIds{3, 1, 2}))
        << "unsent ids are claimed in the order given, a stamped one is not";
    EXPECT_FALSE(FFirstClaims.Holds(5));
    EXPECT_EQ(LocksHeld(), 3) << "the lock of the stamped row must be given back";
    EXPECT_EQ(FSecondClaims.Claim({2, 4, 3}), (TIds{4})) << "ids the first holds are skipped";

    FFirstClaims.Release({1, 2});
    EXPECT_EQ(FSecondClaims.Claim({1, 2, 3}), (TIds{1, 2})) << "released ids are free again";
    EXPECT_EQ(FFirstClaims.Count(), 1u);

    // The stamp is committed before the unlock: the other session must then find it sent.
    EXPECT_EQ(FSecond.MarkSent({4}), 1);
    FSecondClaims.Release({4});
    EXPECT_EQ(FFirstClaims.Claim({4}), TIds{}) << "a row stamped by the other must not be claimed";
    EXPECT_EQ(LocksHeld(), 3);
    EXPECT_FALSE(FFirstClaims.Lost());
}

TEST_F(ClaimsTest, LostConnectionLosesTheClaimsUntilTheNextClaim) {
    ASSERT_EQ(FFirstClaims.Claim({1, 2, 3}), (TIds{1, 2, 3}));
    FFirst.Close();
    EXPECT_TRUE(FFirstClaims.Lost()) << "a closed connection took its locks with it";
    EXPECT_TRUE(LocksHeldBecome(0));
    EXPECT_EQ(FFirst.ReadParam("DBVER"), std::optional<std::string>("2.00"));
    EXPECT_TRUE(FFirstClaims.Lost()) << "a new connection does not hold the old one's locks";
    EXPECT_EQ(FSecondClaims.Claim({2}), (TIds{2})) << "a lost claim is free for another session";

    EXPECT_EQ(FFirstClaims.Claim({4}), (TIds{4}));
    EXPECT_FALSE(FFirstClaims.Lost()) << "the next claim locks the held ids again";
    EXPECT_TRUE(FFirstClaims.Holds(1) && FFirstClaims.Holds(3));
    EXPECT_FALSE(FFirstClaims.Holds(2)) << "an id the other session took meanwhile is forgotten";
    EXPECT_EQ(LocksHeld(), 4);

    // A server that ends the session: the failing claim takes nothing, the one after recovers.
    FDb->TerminateSessions();
    ASSERT_TRUE(test::WaitUntil([&] {
        return FDb->Scalar("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                           "current_database() AND application_name LIKE 'quorvexsms@%'") == "0";
    }));
    EXPECT_THROW(FFirstClaims.Claim({5}), EDatabaseError);
    EXPECT_TRUE(FFirstClaims.Lost());
    EXPECT_EQ(FFirstClaims.Claim({5}), (TIds{5}));
    EXPECT_EQ(FFirstClaims.Count(), 4u);
    EXPECT_EQ(LocksHeld(), 4);

    FSecondClaims.Release({2}); // on a dead connection: must neither throw nor lock anything
    FFirstClaims.Release({1, 3, 4, 5});
    EXPECT_EQ(FFirstClaims.Count(), 0u);
    EXPECT_EQ(LocksHeld(), 0) << "ids locked again must each be unlocked by one release";
}

TEST_F(ClaimsTest, ManyIdsStayOneLockEach) {
    TIds ids(300);
    std::iota(ids.begin(), ids.end(), 1);
    TIds twice = ids;
    twice.insert(twice.end(), ids.begin(), ids.begin() + 50);
    EXPECT_EQ(FFirstClaims.Claim(twice), ids) << "an id given twice is claimed once";
    EXPECT_EQ(FFirstClaims.Claim(ids), ids) << "held ids stay claimed";
    EXPECT_EQ(LocksHeld(), 300);
    FFirstClaims.Release(ids);
    EXPECT_EQ(LocksHeld(), 0) << "a lock taken twice would outlive its release";
    EXPECT_EQ(FSecondClaims.Claim(ids), ids);
}

// The second host's claim session: it sees the first host and what it holds, waits the grace
// after its own new session and for ids seen held, and its claims stop the moment its
// connection closes, before any heartbeat.
TEST_F(ClaimsTest, AClaimSessionWaitsForWhatAnotherHeldAndEndsWithItsConnection) {
    ASSERT_EQ(FFirstClaims.Claim({7}), (TIds{7}));
    TClaimSession session(FSecond, TClaims::LockClass);
    session.SetModemTimeoutMs(1000);
    const uint32_t tick = GetTickCount();
    const TClaimSession::TTurn first = session.Watch(tick, std::time(nullptr));
    EXPECT_TRUE(first.Renewed && first.GraceStarted) << "another host is there: a grace";
    EXPECT_EQ(session.OtherHosts().size(), 1u);
    const uint32_t grace = session.GraceMs();
    EXPECT_EQ(grace, 46000u) << "answer wait, ModemTimeout, stamp retry and a heartbeat";
    EXPECT_FALSE(session.MayClaim(8, tick + grace - 1));
    EXPECT_TRUE(session.MayClaim(8, tick + grace));
    EXPECT_FALSE(session.MayClaim(7, tick + grace - 1)) << "held by the other within the grace";
    EXPECT_TRUE(session.MayClaim(7, tick + grace));
    const uint64_t claimedOn = session.Live();
    EXPECT_EQ(session.MayStart(claimedOn, 0), TClaimVerdict::Go);
    EXPECT_EQ(session.MayStart(claimedOn, BootMs() + 60000), TClaimVerdict::Wait)
        << "not answered since the terminal's last acknowledgement";

    FDb->Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
              "current_database() AND application_name LIKE 'quorvexsms@%'");
    // The next statement meets the ended session; no heartbeat has run since.
    ASSERT_TRUE(test::WaitUntil([&] {
        try {
            FSecond.Unsent({1});
        } catch (const EDatabaseError&) {
        }
        return !FSecond.Connected();
    }));
    EXPECT_EQ(session.MayStart(claimedOn, 0), TClaimVerdict::Withdraw)
        << "nothing claimed on a closed connection may start";
    EXPECT_TRUE(session.Watch(tick + 1, std::time(nullptr)).Lost);
}

// A heartbeat the server cannot answer in time (it waits for a lock here) is cancelled: the
// session stays and what it claimed may go on, but nothing new is claimed until one is answered
// in time.
TEST_F(ClaimsTest, ASlowHeartbeatHoldsNewClaimsAndKeepsTheSession) {
    TClaimSession session(FSecond, TClaims::LockClass);
    const uint32_t tick = GetTickCount();
    ASSERT_TRUE(session.Watch(tick, std::time(nullptr)).Renewed);
    EXPECT_FALSE(session.Holding(tick)) << "alone on the database: no grace";
    const uint64_t live = session.Live();
    const test::TPgSession locker(*FDb);
    locker.Exec("BEGIN; LOCK TABLE pg_catalog.pg_locks IN ACCESS EXCLUSIVE MODE");
    const TClaimSession::TTurn slow =
        session.Watch(tick + TClaimSession::HeartbeatMs, std::time(nullptr));
    EXPECT_TRUE(slow.SlowStarted);
    EXPECT_FALSE(slow.Lost);
    EXPECT_EQ(session.Live(), live) << "a slow server is not a lost session";
    EXPECT_TRUE(session.Holding(tick + TClaimSession::HeartbeatMs));
    EXPECT_FALSE(session.MayClaim(1, tick + TClaimSession::HeartbeatMs));
    locker.Exec("COMMIT");
    const TClaimSession::TTurn again =
        session.Watch(tick + 2 * TClaimSession::HeartbeatMs, std::time(nullptr));
    EXPECT_TRUE(again.SlowEnded);
    EXPECT_TRUE(session.MayClaim(1, tick + 2 * TClaimSession::HeartbeatMs));
}

} // namespace
} // namespace qvx
