#include "infra/Queues.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvx {
namespace {

TSMS Sms(const std::string& telephone, const std::string& text) {
    TSMS sms;
    sms.Telephone = telephone;
    sms.Text = text;
    return sms;
}

TEST(QueuesTest, SmsStackIsFirstInFirstOutAndHoldsCopies) {
    TSMSStack stack;
    TSMS record = Sms("+79001", "A");
    record.Flash = true;
    stack.Push(record);
    record.Text = "changed after push";
    stack.Push(Sms("+79002", "B"));
    stack.Push(Sms("+79003", "C"));
    EXPECT_EQ(stack.Count(), 3);

    TSMS out;
    ASSERT_TRUE(stack.Pop(out));
    EXPECT_EQ(out.Text, "A") << "the queue must keep its own copy";
    EXPECT_TRUE(out.Flash) << "every field is copied";
    out.Text = "changed after pop";
    ASSERT_TRUE(stack.Peek(out));
    EXPECT_EQ(out.Text, "B") << "popped record gone, order kept";
    ASSERT_TRUE(stack.Pop(out));
    ASSERT_TRUE(stack.Pop(out));
    EXPECT_EQ(out, Sms("+79003", "C"));
    EXPECT_EQ(stack.Count(), 0);
}

TEST(QueuesTest, PeekLeavesTheHeadAndEmptyQueueChangesNothing) {
    TSMSStack stack;
    TSMS out = Sms("keep", "me");
    EXPECT_FALSE(stack.Pop(out)) << "Pop on an empty queue";
    EXPECT_FALSE(stack.Peek(out)) << "Peek on an empty queue";
    EXPECT_EQ(out, Sms("keep", "me")) << "argument must stay unchanged";

    stack.Push(Sms("1", "head"));
    stack.Push(Sms("2", "tail"));
    TSMS first;
    TSMS second;
    ASSERT_TRUE(stack.Peek(first));
    ASSERT_TRUE(stack.Peek(second));
    EXPECT_EQ(first, second) << "Peek twice must give the same head";
    EXPECT_EQ(first.Text, "head");
    EXPECT_EQ(stack.Count(), 2) << "Peek must not remove";
}

// Answers pushed to the front overtake everything queued except the message in submission.
TEST(QueuesTest, PushFrontGoesBehindTheMessageInSubmissionOnly) {
    struct TCase {
        bool Submitting; // the head was taken for submission
        bool Released;   // and then released after a failure
        bool ToBack;     // released to the back of the queue
        const char* Order;
        const char* Note;
    };
    const TCase cases[] = {
        {false, false, false, "abxy", "idle: the answers go first"},
        {true, false, false, "xaby", "behind the message in submission"},
        {true, true, false, "abxy", "a released head no longer holds its place"},
        {true, true, true, "abyx", "a head released to the back goes behind the rest"},
    };
    for (const TCase& c : cases) {
        TSMSStack stack;
        stack.Push(Sms("1", "x"));
        stack.Push(Sms("2", "y"));
        TSMS head;
        if (c.Submitting) {
            ASSERT_TRUE(stack.PeekForSubmission(head));
        }
        if (c.Released && c.ToBack)
            stack.ReleaseHeadToBack();
        else if (c.Released)
            stack.ReleaseHead();
        stack.PushFront({Sms("3", "a"), Sms("4", "b")});
        std::string order;
        while (stack.Pop(head))
            order += head.Text;
        EXPECT_EQ(order, c.Order) << c.Note;
    }
}

TEST(QueuesTest, ProducerAndConsumerThreadsShareOneQueue) {
    constexpr int Messages = 50000;
    TSMSStack stack;
    std::thread producer([&stack] {
        for (int i = 0; i < Messages; ++i)
            stack.Push(Sms(std::to_string(i), std::string(size_t(i % 40), 'x')));
    });
    int received = 0;
    int disorder = 0;
    while (received < Messages) {
        TSMS sms;
        if (!stack.Pop(sms)) {
            std::this_thread::yield();
            continue;
        }
        if (sms.Telephone != std::to_string(received) || sms.Text.size() != size_t(received % 40))
            ++disorder;
        ++received;
    }
    producer.join();
    EXPECT_EQ(disorder, 0) << "messages lost, duplicated or reordered";
    EXPECT_EQ(stack.Count(), 0) << "nothing may be left over";
}

struct TRingEvent {
    std::string Telephone;
    double Seconds;
};

struct TRingCase {
    const char* Note;
    std::vector<TRingEvent> Events;
    std::vector<std::pair<std::string, int32_t>> Records; // telephone, count
};

void CheckRings(const TRingCase& c, TDateTime base) {
    TRingStack stack;
    for (const TRingEvent& e : c.Events) {
        TRing ring;
        ring.Telephone = e.Telephone;
        ring.DateTime = base + e.Seconds * OneSecond;
        ring.Count = 1;
        stack.Push(ring);
    }
    ASSERT_EQ(stack.Count(), int32_t(c.Records.size())) << c.Note;
    for (const auto& [telephone, count] : c.Records) {
        TRing ring;
        ASSERT_TRUE(stack.Pop(ring)) << c.Note;
        EXPECT_EQ(ring.Telephone, telephone) << c.Note;
        EXPECT_EQ(ring.Count, count) << c.Note;
    }
}

const std::vector<TRingCase> RingCases = {
    {"one caller at 0, 5, 10 and 24 s is one call",
     {{"111", 0}, {"111", 5}, {"111", 10}, {"111", 24}},
     {{"111", 4}}},
    {"15 s after the last ring starts a new record",
     {{"111", 0}, {"111", 5}, {"111", 10}, {"111", 24}, {"111", 39}},
     {{"111", 4}, {"111", 1}}},
    {"14.999 s after the last ring still folds", {{"111", 0}, {"111", 14.999}}, {{"111", 2}}},
    {"exactly 15 s does not fold", {{"111", 0}, {"111", 15}}, {{"111", 1}, {"111", 1}}},
    {"two callers alternating every second",
     {{"111", 0}, {"222", 1}, {"111", 2}, {"222", 3}},
     {{"111", 1}, {"222", 1}, {"111", 1}, {"222", 1}}},
    {"the first ring is recorded even with an empty number", {{"", 0}, {"", 1}}, {{"", 2}}},
};

TEST(QueuesTest, RingStackFoldsRepeatedRingsOfOneCaller) {
    for (const TRingCase& c : RingCases)
        CheckRings(c, 46000.25);
}

TEST(QueuesTest, RingFoldingHoldsForRealClockValues) {
    // The window is compared in fractions of a day; the 15 s boundary must not depend on
    // where in the calendar the rings fall.
    for (std::time_t t = 1700000000; t < 1700000000 + 86400 * 30; t += 86400 / 7 + 13)
        for (const TRingCase& c : RingCases)
            CheckRings(c, ToDateTime(t));
}

TEST(QueuesTest, RingsFoldIntoTheNewestRecordAfterPops) {
    TRingStack stack;
    TRing ring;
    ring.Telephone = "111";
    ring.Count = 1;
    ring.DateTime = 46000;
    stack.Push(ring);
    TRing out;
    ASSERT_TRUE(stack.Pop(out));
    ring.DateTime += 3 * OneSecond;
    stack.Push(ring);
    EXPECT_EQ(stack.Count(), 0) << "a folded ring adds no record, even to an empty queue";
}

TEST(QueuesTest, ToDateTimeCountsDaysSince18991230InLocalTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "MSK-3", 1);
    tzset();
    EXPECT_DOUBLE_EQ(ToDateTime(0), 25569.0 + 3.0 / 24) << "1970-01-01 03:00 local";
    EXPECT_DOUBLE_EQ(ToDateTime(1796537107), 46362.0 + (9 * 3600 + 5 * 60 + 7) / 86400.0)
        << "06.12.2026 9:05:07 local";
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_DOUBLE_EQ(ToDateTime(-2209161600), 0.0) << "1899-12-30 00:00 is day 0";
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
} // namespace qvx
