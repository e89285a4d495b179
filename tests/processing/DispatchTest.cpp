// TDispatch as tables: terminals, their snapshots, outcomes and the time in; the decisions out.
#include "processing/Dispatch.h"

#include "terminal/ResultCodes.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>

namespace qvx {
namespace {

using TKind = TDecision::TKind;

constexpr TTerminalSnapshot Registered{true, 1};
constexpr TTerminalSnapshot NotRegistered{true, 0};
constexpr TTerminalSnapshot Down{false, -1};

TTerminalConfig Terminal(int32_t number, std::vector<std::string> prefixes = {},
                         bool only = false) {
    TTerminalConfig config;
    config.Number = number;
    config.Name = "t" + std::to_string(number);
    config.Device = "/dev/null";
    config.ModemTimeoutMs = 3000;
    config.Prefixes = std::move(prefixes);
    config.PrefixOnly = only;
    return config;
}

TQueuedSms Sms(int32_t id, std::string digits = "79160000000") {
    TQueuedSms sms;
    sms.Sms.MsgId = id;
    sms.Sms.Telephone = "+" + digits;
    sms.Prepared.Digits = std::move(digits);
    return sms;
}

// A dispatch, its clocks, and where each message went.
struct TBench {
    TDispatch Dispatch;
    uint32_t Tick;
    std::time_t Now = 1800000000;
    std::map<int32_t, size_t> HeldBy; // id -> terminal
    TDecisions Seen;                  // every decision so far

    explicit TBench(std::vector<TTerminalConfig> terminals, uint32_t tick = 5000)
        : Dispatch(std::move(terminals)), Tick(tick) {}

    // Notes where each message went; a TakeBack gives back what the terminal held, and the
    // decisions that follow are added.
    TDecisions Take(TDecisions decisions) {
        TDecisions all;
        for (const TDecision& d : decisions) {
            all.push_back(d);
            Seen.push_back(d);
            if (d.Kind == TKind::HandOver || d.Kind == TKind::HandAnswer)
                HeldBy[d.MsgId] = d.Terminal;
            if (d.Kind == TKind::TakeBack) {
                // What the terminal's queue gives back: everything it held.
                std::vector<TQueuedSms> back;
                for (const auto& [id, t] : HeldBy)
                    if (t == d.Terminal)
                        back.push_back(Sms(id));
                for (const TQueuedSms& sms : back)
                    HeldBy.erase(sms.Sms.MsgId);
                const TDecisions more = Take(Dispatch.TakenBack(d.Terminal, back));
                all.insert(all.end(), more.begin(), more.end());
            }
        }
        return all;
    }
    TDecisions Watch(std::vector<TTerminalSnapshot> snapshots) {
        return Take(Dispatch.Watch(snapshots, Tick, Now));
    }
    // Every round a terminal may take, everything claimed.
    TDecisions HandOut(const std::set<int32_t>& heldElsewhere = {}) {
        TDecisions all;
        for (size_t round = 0; round < TDispatch::HeldMax; ++round) {
            const std::vector<TPick> picks = Dispatch.Propose(Tick, Now, {});
            std::set<int32_t> claimed;
            for (const TPick& pick : picks)
                if (heldElsewhere.count(pick.MsgId) == 0)
                    claimed.insert(pick.MsgId);
            const TDecisions settled = Take(Dispatch.Settle(picks, claimed, Tick));
            all.insert(all.end(), settled.begin(), settled.end());
        }
        return all;
    }
    TDecisions Report(int32_t id, TOutcomeKind kind, std::string reason = {},
                      int32_t code = static_cast<int32_t>(TGsmResult::WriteFrame)) {
        const size_t t = HeldBy.count(id) ? HeldBy[id] : 0;
        HeldBy.erase(id);
        return Take(Dispatch.Outcome(t, {id, kind, code, "+79160000000", std::move(reason), {}},
                                     Tick, Now));
    }
    void Advance(uint32_t ms) {
        Tick += ms;
        Now += ms / 1000;
    }
    std::vector<int32_t> Held(size_t t) const {
        std::vector<int32_t> ids;
        for (const auto& [id, by] : HeldBy)
            if (by == t)
                ids.push_back(id);
        return ids;
    }
};

size_t Count(const TDecisions& decisions, TKind kind, int32_t msgId = -1) {
    return std::count_if(decisions.begin(), decisions.end(), [&](const TDecision& d) {
        return d.Kind == kind && (msgId < 0 || d.MsgId == msgId);
    });
}

std::string Lines(const TDecisions& decisions) {
    std::string lines;
    for (const TDecision& d : decisions)
        if (d.Kind == TKind::Log)
            lines += d.Text + "\n";
    return lines;
}

bool Says(const TDecisions& decisions, const std::string& text) {
    return Lines(decisions).find(text) != std::string::npos;
}

TEST(Dispatch, EachTerminalTakesTwoInTurnAndPrefixesSteer) {
    const struct {
        std::vector<std::string> Prefixes2;
        bool Only;
        TTerminalSnapshot Second;
        std::vector<std::string> Digits;
        std::vector<int32_t> Held1, Held2;
        const char* Note;
    } cases[] = {
        {{},
         false,
         Registered,
         {"791", "791", "791", "791", "791"},
         {1, 4},
         {2, 3},
         "round robin, two each, the fifth waits"},
        {{"7926"},
         false,
         Registered,
         {"7926", "7926", "7916"},
         {3},
         {1, 2},
         "prefer: its numbers wait for it"},
        {{"7926"}, false, Down, {"7926", "7916"}, {1, 2}, {}, "prefer falls back while it is away"},
        {{"7926"}, true, Down, {"7926", "7916"}, {2}, {}, "only: never elsewhere"},
    };
    for (const auto& c : cases) {
        TBench bench({Terminal(1), Terminal(2, c.Prefixes2, c.Only)});
        bench.Watch({Registered, c.Second});
        for (size_t i = 0; i < c.Digits.size(); ++i)
            bench.Dispatch.Add(Sms(static_cast<int32_t>(i + 1), c.Digits[i]));
        bench.HandOut();
        EXPECT_EQ(bench.Held(0), c.Held1) << c.Note;
        EXPECT_EQ(bench.Held(1), c.Held2) << c.Note;
    }
}

TEST(Dispatch, AnAnswerLeavesFromTheTerminalAskedEvenWhenItIsFull) {
    TBench bench({Terminal(1), Terminal(2)});
    bench.Watch({Registered, Registered});
    for (int32_t id = 1; id <= 4; ++id)
        bench.Dispatch.Add(Sms(id));
    bench.HandOut();
    bench.Dispatch.RequestFrom("9161234567", 2);
    bench.Dispatch.AddAnswers({Sms(9, "79161234567")});
    const TDecisions handed = bench.HandOut();
    EXPECT_EQ(Count(handed, TKind::HandAnswer, 9), 1u);
    EXPECT_EQ(bench.HeldBy[9], 1u);
    // Two answers each go to the head: the second is handed first, so that the first leads.
    bench.Dispatch.RequestFrom("9161234567", 1);
    bench.Dispatch.RequestFrom("9167654321", 1);
    bench.Dispatch.AddAnswers({Sms(11, "79161234567"), Sms(12, "79167654321")});
    const TDecisions two = bench.HandOut();
    ASSERT_EQ(Count(two, TKind::HandAnswer), 2u);
    EXPECT_EQ(two[0].MsgId, 12);
    EXPECT_EQ(two[1].MsgId, 11);
    // The asked terminal away: the answer waits first in line, and the other hosts hear of it.
    bench.Dispatch.RequestFrom("9161234567", 2);
    bench.Dispatch.AddAnswers({Sms(10, "79161234567")});
    bench.Watch({Registered, Down});
    bench.Dispatch.Propose(bench.Tick, bench.Now, {});
    EXPECT_EQ(Count(bench.Watch({Registered, Down}), TKind::Notify), 1u);
}

TEST(Dispatch, ATerminalTheNetworkDoesNotRegisterHandsItsMessagesOn) {
    TBench bench({Terminal(1), Terminal(2)});
    bench.Watch({Registered, Registered});
    for (int32_t id = 1; id <= 4; ++id)
        bench.Dispatch.Add(Sms(id));
    bench.HandOut();
    ASSERT_EQ(bench.Held(1).size(), 2u);
    bench.Advance(1000);
    bench.Watch({Registered, NotRegistered});
    EXPECT_EQ(bench.Held(1).size(), 2u) << "within its grace it keeps them";
    bench.Advance(4001);
    const TDecisions away = bench.Watch({Registered, NotRegistered});
    EXPECT_TRUE(bench.Held(1).empty());
    EXPECT_EQ(bench.Dispatch.Health(1), TTerminalHealth::Unregistered);
    EXPECT_TRUE(
        Says(away, "GSM терминал не зарегистрирован в сети: сообщения ему не передаются [t2]"));
    EXPECT_EQ(Count(away, TKind::Unclaim), 2u) << "back to the list, unclaimed";
    for (int32_t id : bench.Held(0))
        bench.Report(id, TOutcomeKind::Acknowledged);
    bench.HandOut();
    EXPECT_EQ(bench.Held(0).size(), 2u) << "the other one sends them";
    EXPECT_TRUE(bench.Held(1).empty());
    bench.Advance(250);
    const TDecisions back = bench.Watch({Registered, Registered});
    EXPECT_TRUE(Says(back, "GSM терминал зарегистрирован в сети: сообщения передаются снова [t2]"));
    EXPECT_EQ(bench.Dispatch.Health(1), TTerminalHealth::Working);
}

TEST(Dispatch, AMessageNoTerminalCanTakeGoesBackToTheDatabase) {
    const struct {
        std::vector<TTerminalConfig> Terminals;
        std::vector<TTerminalSnapshot> Snapshots;
        std::string Digits;
        bool GoesBack;
        const char* Note;
    } cases[] = {
        {{Terminal(1)}, {Down}, "7916", true, "the only terminal died"},
        {{Terminal(1), Terminal(2)}, {Down, Registered}, "7916", false, "another one works"},
        {{Terminal(1), Terminal(2, {"7926"}, true)},
         {Registered, Down},
         "7926",
         true,
         "only: its terminal is away"},
        {{Terminal(1), Terminal(2, {"7926"})},
         {Registered, Down},
         "7926",
         false,
         "prefer: another works"},
    };
    for (const auto& c : cases) {
        TBench bench(c.Terminals);
        std::vector<TTerminalSnapshot> working(c.Terminals.size(), Registered);
        bench.Watch(working);
        bench.Dispatch.Add(Sms(7, c.Digits));
        bench.Advance(5000);
        bench.Watch(c.Snapshots);
        bench.Advance(4000);
        EXPECT_EQ(Count(bench.Watch(c.Snapshots), TKind::GiveBack), 0u) << c.Note << ": its grace";
        bench.Advance(1);
        const TDecisions decisions = bench.Watch(c.Snapshots);
        EXPECT_EQ(Count(decisions, TKind::GiveBack, 7), c.GoesBack ? 1u : 0u) << c.Note;
        EXPECT_EQ(Count(decisions, TKind::Notify), c.GoesBack ? 1u : 0u) << c.Note;
        EXPECT_EQ(bench.Dispatch.PendingCount(), c.GoesBack ? 0u : 1u) << c.Note;
        if (!c.GoesBack)
            continue;
        bench.Advance(TDispatch::SuspendFirstSec * 1000);
        EXPECT_EQ(Count(bench.Watch(working), TKind::ReadAgain), 1u)
            << c.Note << ": read again once its terminal is back";
    }
}

TEST(Dispatch, ATerminalThatNeverWorkedCarriesNothingAndIsNotSuspended) {
    TBench bench({Terminal(1), Terminal(2, {"7926"}, true)});
    bench.Watch({Registered, Down});
    EXPECT_FALSE(bench.Dispatch.HasCarrier("79261234567")) << "its rows stay in the database";
    EXPECT_TRUE(bench.Dispatch.HasCarrier("79161234567"));
    bench.Dispatch.LeftInDatabase();
    bench.Advance(4001);
    const TDecisions away = bench.Watch({Registered, Down});
    EXPECT_EQ(bench.Dispatch.Health(1), TTerminalHealth::Stopped);
    EXPECT_FALSE(Says(away, "приостановлен")) << Lines(away);
    bench.Advance(250);
    EXPECT_EQ(Count(bench.Watch({Registered, Registered}), TKind::ReadAgain), 1u)
        << "its rows are read as soon as it works";
}

TEST(Dispatch, AMessageTheNetworkMayHaveGoesOnceMoreAtMost) {
    TBench bench({Terminal(1), Terminal(2)});
    bench.Watch({Registered, Registered});
    bench.Dispatch.Add(Sms(1));
    bench.HandOut();
    TDecisions decisions = bench.Report(1, TOutcomeKind::MaybeSent);
    EXPECT_EQ(Count(decisions, TKind::Unclaim, 1), 0u) << "it keeps its claim while it waits";
    EXPECT_TRUE(bench.HandOut().empty()) << "no terminal takes it within the late answer's wait";
    bench.Advance(TDispatch::LateAnswerMs - 1);
    bench.Watch({Registered, Registered});
    EXPECT_TRUE(bench.HandOut().empty());
    bench.Advance(1);
    decisions = bench.Watch({Registered, Registered});
    EXPECT_TRUE(Says(decisions, "Сообщение ID=1 будет отправлено повторно: возможен повтор"));
    EXPECT_EQ(Count(bench.HandOut(), TKind::HandOver, 1), 1u);
    decisions = bench.Report(1, TOutcomeKind::MaybeSent);
    EXPECT_EQ(Count(decisions, TKind::GiveUp, 1), 1u) << "the second time it is held";
    EXPECT_TRUE(Says(decisions, "сообщение могло быть доставлено"));

    // A late answer within the wait acknowledges it: it never goes again.
    bench.Dispatch.Add(Sms(2));
    bench.HandOut();
    bench.Report(2, TOutcomeKind::MaybeSent);
    bench.Advance(10000);
    EXPECT_EQ(Count(bench.Report(2, TOutcomeKind::Acknowledged), TKind::Acknowledge, 2), 1u);
    bench.Advance(TDispatch::LateAnswerMs);
    bench.Watch({Registered, Registered});
    EXPECT_TRUE(bench.HandOut().empty());
    EXPECT_EQ(bench.Dispatch.Queued(), 0u);

    // A port that went away brings no late answer: it goes again at once, uncounted.
    bench.Dispatch.Add(Sms(3));
    bench.HandOut();
    bench.Report(3, TOutcomeKind::MaybeSent, {}, static_cast<int32_t>(TGsmResult::PortIO));
    EXPECT_EQ(Count(bench.HandOut(), TKind::HandOver, 3), 1u);
    // So does one whose terminal opens its port again while it waits.
    bench.Dispatch.Add(Sms(4));
    bench.HandOut();
    const size_t by = bench.HeldBy[4];
    bench.Report(4, TOutcomeKind::MaybeSent);
    std::vector<TTerminalSnapshot> reopening(2, Registered);
    reopening[by] = {false, -1, true};
    bench.Watch(reopening);
    EXPECT_EQ(Count(bench.HandOut(), TKind::HandOver, 4), 1u);
}

TEST(Dispatch, ARefusalIsChargedByItsCause) {
    const struct {
        const char* Refusal;
        bool Suspends;
        bool GivenUpAfterThree;
        const char* Note;
    } cases[] = {
        {"+CMS ERROR: 1", false, true, "unassigned number: the message's"},
        {"+CMS ERROR: Unassigned (unallocated) number", false, true, "the same as a text"},
        {"+CMS ERROR: 8", true, false, "operator determined barring: the SIM's"},
        {"+CMS ERROR: 331", false, false, "no network service: nobody's, nothing counted"},
    };
    for (const auto& c : cases) {
        TBench bench({Terminal(1)});
        bench.Watch({Registered});
        bench.Dispatch.Add(Sms(1));
        TDecisions all;
        for (int32_t round = 0; round < 3; ++round) {
            bench.Advance(TDispatch::RefusedPauseMs);
            bench.Watch({Registered});
            bench.HandOut();
            if (bench.HeldBy.count(1) == 0)
                break;
            const TDecisions d = bench.Report(1, TOutcomeKind::Failed, c.Refusal);
            all.insert(all.end(), d.begin(), d.end());
        }
        EXPECT_EQ(Count(all, TKind::GiveUp, 1), c.GivenUpAfterThree ? 1u : 0u) << c.Note;
        EXPECT_EQ(Count(all, TKind::Reinitialise) > 0, c.Suspends) << c.Note;
        EXPECT_EQ(bench.Dispatch.Health(0) == TTerminalHealth::Suspended, c.Suspends) << c.Note;
    }
}

TEST(Dispatch, WithTwoTerminalsARefusalCountsFromTwoThatSent) {
    TBench bench({Terminal(1), Terminal(2)});
    bench.Watch({Registered, Registered});
    // Both have sent since their start, so that their verdicts count.
    for (int32_t id : {10, 11}) {
        bench.Dispatch.Add(Sms(id));
        bench.HandOut();
        bench.Report(id, TOutcomeKind::Acknowledged);
    }
    bench.Dispatch.Add(Sms(1));
    std::set<size_t> refusedBy;
    int32_t refusals = 0;
    while (bench.Dispatch.Queued() > 0 && refusals < 6) {
        bench.Advance(TDispatch::RefusedPauseMs);
        bench.HandOut();
        ASSERT_EQ(bench.HeldBy.count(1), 1u);
        refusedBy.insert(bench.HeldBy[1]);
        bench.Report(1, TOutcomeKind::Failed, "+CMS ERROR: 1");
        ++refusals;
    }
    EXPECT_EQ(refusals, 3);
    EXPECT_EQ(refusedBy.size(), 2u) << "it goes to the other terminal after a refusal";
    EXPECT_EQ(Count(bench.Seen, TKind::GiveUp, 1), 1u);
}

TEST(Dispatch, FailuresOnThreeMessagesSuspendForADoublingWhileAcrossTheTickWrap) {
    TBench bench({Terminal(1), Terminal(2)}, 0xFFFFFFFFu - 50000);
    bench.Watch({Registered, Registered});
    uint32_t expectedSec = TDispatch::SuspendFirstSec;
    for (int32_t suspension = 0; suspension < 3; ++suspension) {
        for (int32_t id = 1; id <= 6; ++id)
            bench.Dispatch.Add(Sms(100 * suspension + id));
        int32_t failed = 0;
        while (bench.Dispatch.Health(1) != TTerminalHealth::Suspended && failed < 6) {
            bench.HandOut();
            for (int32_t id : bench.Held(1)) {
                if (bench.Dispatch.Health(1) == TTerminalHealth::Suspended)
                    break;
                bench.Report(id, TOutcomeKind::Failed);
                ++failed;
            }
        }
        EXPECT_EQ(failed, 3) << "suspension " << suspension;
        EXPECT_TRUE(Says(bench.Seen, "GSM терминал приостановлен на " +
                                         std::to_string(expectedSec) +
                                         " с: GSM терминал не отправляет SMS [t2]"));
        bench.Advance(expectedSec * 1000 - 1);
        bench.Watch({Registered, Registered});
        EXPECT_EQ(bench.Dispatch.Health(1), TTerminalHealth::Suspended);
        bench.Advance(1);
        EXPECT_TRUE(Says(bench.Watch({Registered, Registered}),
                         "GSM терминал снова принимает сообщения [t2]"));
        for (auto& [id, t] : std::map<int32_t, size_t>(bench.HeldBy))
            bench.Report(id, TOutcomeKind::Acknowledged);
        bench.HandOut();
        for (auto& [id, t] : std::map<int32_t, size_t>(bench.HeldBy))
            if (t == 0)
                bench.Report(id, TOutcomeKind::Acknowledged);
        expectedSec *= 2;
    }
}

TEST(Dispatch, ADailyLimitHoldsUntilTheResetAndCountsWhatIsHeld) {
    TTerminalConfig limited = Terminal(1);
    limited.DailyLimit = 3;
    TBench bench({limited});
    bench.Watch({Registered});
    for (int32_t id = 1; id <= 5; ++id)
        bench.Dispatch.Add(Sms(id));
    EXPECT_TRUE(bench.HandOut().empty()) << "nothing before the SIM is known";
    bench.Dispatch.SimKnown(0);
    bench.Dispatch.Limits(0).Restore(bench.Dispatch.Limits(0).PeriodStart(bench.Now), 1);
    bench.HandOut();
    EXPECT_EQ(bench.Held(0).size(), 2u) << "one sent today and two held make three";
    bench.Report(1, TOutcomeKind::Acknowledged);
    bench.Report(2, TOutcomeKind::Acknowledged);
    const TDecisions atLimit = bench.Watch({Registered});
    EXPECT_TRUE(
        Says(atLimit, "Достигнут дневной лимит SIM-карты (3 SMS): отправка приостановлена"));
    EXPECT_EQ(bench.Dispatch.Health(0), TTerminalHealth::AtLimit);
    bench.Now += 24 * 3600;
    EXPECT_TRUE(Says(bench.Watch({Registered}), "Дневной лимит SIM-карты обновлен"));
    EXPECT_EQ(bench.Dispatch.Health(0), TTerminalHealth::Working);
}

TEST(Dispatch, AClaimAnotherHostHoldsIsReleasedAndNoClaimLeavesItPending) {
    TBench bench({Terminal(1)});
    bench.Watch({Registered});
    bench.Dispatch.Add(Sms(1));
    bench.Dispatch.Add(Sms(2));
    const std::vector<TPick> picks = bench.Dispatch.Propose(bench.Tick, bench.Now, {});
    EXPECT_TRUE(bench.Dispatch.Settle(picks, std::nullopt, bench.Tick).empty());
    EXPECT_EQ(bench.Dispatch.PendingCount(), 2u);
    const TDecisions settled = bench.HandOut({1});
    EXPECT_EQ(Count(settled, TKind::Release, 1), 1u);
    EXPECT_EQ(Count(settled, TKind::HandOver, 2), 1u);
    EXPECT_EQ(bench.Dispatch.PendingCount(), 0u);
}

} // namespace
} // namespace qvx
