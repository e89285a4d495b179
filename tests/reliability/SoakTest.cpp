// Long operation compressed: the simulator answers at once while messages are registered,
// subscribers ask for their account state and other texts arrive every second, and passes are
// asked for far more often than every five minutes. The program's resident set is sampled and
// must not grow once it has warmed up. QVX_SOAK_SECONDS sets the length (default 60 s in the
// plain build); scripts/soak runs it for longer.
#include "reliability/ReliabilityHarness.h"
#include "support/Text.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace qvx::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory aside on purpose, so the resident set says nothing there.
constexpr bool RssMeaningful = false;
#else
constexpr bool RssMeaningful = true;
#endif

constexpr int32_t SubscriberCount = 20;
constexpr int32_t MessagesPerSecond = 6;
constexpr int32_t RequestsPerSecond = 2;
constexpr int SampleEverySec = 2;
// Allowed growth of the resident set between the middle and the last third of the run.
constexpr int64_t GrowthAllowedKiB = 1024;

int32_t SoakSeconds() {
    if (const char* value = std::getenv("QVX_SOAK_SECONDS"); value != nullptr && *value)
        return std::max(10, std::atoi(value));
    return Scaled(60, 15);
}

std::string SubscriberNumber(int32_t index) {
    return "+7926" + std::to_string(1000000 + index);
}

struct TSample {
    int Second = 0;
    int64_t RssKiB = 0;
};

// The largest resident set among the samples taken in [from, to) seconds.
int64_t PeakBetween(const std::vector<TSample>& samples, int from, int to) {
    int64_t peak = 0;
    for (const TSample& sample : samples)
        if (sample.Second >= from && sample.Second < to)
            peak = std::max(peak, sample.RssKiB);
    return peak;
}

class SoakTest : public TReliabilityTest {
protected:
    // Account-state answers the terminal received.
    size_t Answers() const {
        size_t count = 0;
        for (const auto& [text, times] : FLedger.Counts())
            if (text.rfind(U8(u8"Состояние счета"), 0) == 0)
                count += static_cast<size_t>(times);
        return count;
    }
};

TEST_F(SoakTest, ResidentSetStaysFlatUnderSteadyWork) {
    const int32_t seconds = SoakSeconds();
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    std::ostringstream subscribers;
    subscribers << "INSERT INTO abonents (cellphone, name, balance) SELECT '+7926' || (1000000 + "
                   "g)::text, 'soak', g * 10 FROM generate_series(0, "
                << SubscriberCount - 1 << ") g";
    FDb->Exec(subscribers.str());
    WriteIni();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());

    std::set<std::string> texts;
    std::vector<TSample> samples;
    int32_t requests = 0;
    int32_t others = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int second = 0; second < seconds; ++second) {
        const TSeeded more = SeedMessages(1 + second * MessagesPerSecond, MessagesPerSecond,
                                          "K" + std::to_string(second));
        for (const auto& [id, text] : more)
            texts.insert(text);
        for (int32_t i = 0; i < RequestsPerSecond; ++i, ++requests)
            FSim.StoreText(SubscriberNumber(requests % SubscriberCount), "1");
        FSim.StoreText("+79030000000", "Hello " + std::to_string(others++));
        if (second % 5 == 0)
            service->Signal(SIGUSR1);
        if (second % SampleEverySec == 0) {
            samples.push_back({second, service->RssKiB()});
            std::ostringstream line;
            line << "soak: t=" << second << " s rss=" << samples.back().RssKiB << " KiB, "
                 << FLedger.DistinctOf(texts) << "/" << texts.size() << " messages, " << Answers()
                 << "/" << requests << " answers";
            PrintFigures(line.str());
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(second + 1));
        ASSERT_TRUE(service->Running())
            << "the program died after " << second << " s" << Diagnostics();
    }

    const bool all = WaitUntil(
        [&] {
            return FLedger.DistinctOf(texts) == texts.size() &&
                   Answers() >= static_cast<size_t>(requests) && FSim.StoredCount() == 0;
        },
        60000, 50);
    EXPECT_TRUE(all) << FLedger.DistinctOf(texts) << " of " << texts.size() << " messages, "
                     << Answers() << " of " << requests << " answers, " << FSim.StoredCount()
                     << " left on the SIM" << Diagnostics();
    EXPECT_EQ(Answers(), static_cast<size_t>(requests)) << "each request gets one answer";
    int32_t repeats = 0;
    const auto counts = FLedger.Counts();
    for (const std::string& text : texts)
        if (const auto found = counts.find(text); found != counts.end())
            repeats += found->second - 1;
    EXPECT_EQ(repeats, 0) << "no message may go out twice without a fault";
    StopService(*service);

    const int64_t warm = PeakBetween(samples, seconds / 3, 2 * seconds / 3);
    const int64_t late = PeakBetween(samples, 2 * seconds / 3, seconds);
    std::ostringstream figures;
    figures << "soak: " << seconds << " s, " << texts.size() << " messages, " << requests
            << " account requests, " << others << " other texts received, " << FLedger.Total()
            << " PDUs; resident set " << samples.front().RssKiB << " KiB at start, peak " << warm
            << " KiB after warm-up, " << late << " KiB in the last third (" << late - warm
            << " KiB growth)";
    PrintFigures(figures.str());
    if (RssMeaningful)
        EXPECT_LE(late - warm, GrowthAllowedKiB)
            << "the resident set grew after warm-up: " << warm << " -> " << late << " KiB";
    else
        PrintFigures("soak: resident set not judged in a sanitizer build");
}

} // namespace
} // namespace qvx::test
