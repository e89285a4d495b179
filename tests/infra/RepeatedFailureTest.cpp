#include "infra/RepeatedFailure.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using namespace std::chrono_literals;
using TLines = std::vector<std::string>;

class RepeatedFailureTest : public testing::Test {
protected:
    TClock::time_point FNow{};
    TRepeatedFailure FFailure{[this] { return FNow; }};

    // One failed attempt a second, count times; every line they log.
    TLines FailEverySecond(const std::string& line, int count) {
        TLines logged;
        for (int i = 0; i < count; ++i) {
            for (std::string& text : FFailure.Failed(line))
                logged.push_back(std::move(text));
            FNow += 1s;
        }
        return logged;
    }
};

TEST_F(RepeatedFailureTest, AnHourOfTheSameFailureWritesItOnceAndThenEveryTenMinutes) {
    const TLines logged = FailEverySecond("Ошибка открытия", 3600);
    EXPECT_EQ(logged, (TLines{"Ошибка открытия", "Ошибка открытия - повторяется: 601 раз",
                              "Ошибка открытия - повторяется: 1201 раз",
                              "Ошибка открытия - повторяется: 1801 раз",
                              "Ошибка открытия - повторяется: 2401 раз",
                              "Ошибка открытия - повторяется: 3001 раз"}));
    EXPECT_EQ(FFailure.Succeeded(), TLines{"Ошибка открытия - больше не повторяется"});
    EXPECT_FALSE(FFailure.Active());
    // After the end the same failure is news again.
    EXPECT_EQ(FFailure.Failed("Ошибка открытия"), TLines{"Ошибка открытия"});
}

TEST_F(RepeatedFailureTest, AChangedFailureEndsTheOldOneAndIsWrittenAtOnce) {
    FailEverySecond("A", 3);
    EXPECT_TRUE(FFailure.Repeats("A"));
    EXPECT_FALSE(FFailure.Repeats("B"));
    EXPECT_EQ(FFailure.Failed("B"), (TLines{"A - больше не повторяется", "B"}));
    EXPECT_EQ(FFailure.Failed("A"), (TLines{"A"})) << "B happened once: nothing to close";
}

TEST_F(RepeatedFailureTest, ASingleFailureOrNoneEndsWithoutALine) {
    EXPECT_TRUE(FFailure.Succeeded().empty());
    EXPECT_FALSE(FFailure.Active());
    EXPECT_EQ(FFailure.Failed("A"), TLines{"A"});
    EXPECT_TRUE(FFailure.Active());
    EXPECT_TRUE(FFailure.Succeeded().empty());
    EXPECT_FALSE(FFailure.Repeats("A"));
}

} // namespace
} // namespace qvx
