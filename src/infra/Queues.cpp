#include "infra/Queues.h"

#include <chrono>
#include <iterator>

namespace qvx {

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01.
constexpr int64_t DateTimeEpochDays = -25569;

} // namespace

TDateTime ToDateTime(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return 0;
    const int64_t days =
        DaysFromCivil(local.tm_year + 1900LL, unsigned(local.tm_mon + 1), unsigned(local.tm_mday)) -
        DateTimeEpochDays;
    const int seconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return static_cast<double>(days) + seconds / 86400.0;
}

TDateTime Now() {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const auto ms = (sinceEpoch - wholeSeconds).count();
    return ToDateTime(static_cast<std::time_t>(wholeSeconds.count())) + ms / 86400000.0;
}

void TOutcomeQueue::Push(TOutcome outcome) {
    std::lock_guard lock(FLock);
    FList.push_back(std::move(outcome));
}

bool TOutcomeQueue::TakeAll(std::vector<TOutcome>& list) {
    std::lock_guard lock(FLock);
    if (FList.empty())
        return false;
    std::move(FList.begin(), FList.end(), std::back_inserter(list));
    FList.clear();
    return true;
}

void TRingStack::Push(const TRing& ring) {
    std::lock_guard lock(FLock);
    // The window runs from the last ring of the number, folded or not, so a call that keeps
    // ringing stays one record.
    if (ring.Telephone == FLastTelephone && ring.DateTime < FLastDateTime + FoldWindow) {
        if (!FList.empty())
            ++FList.back().Count;
        FLastDateTime = ring.DateTime;
        return;
    }
    FList.push_back(ring);
    FLastTelephone = ring.Telephone;
    FLastDateTime = ring.DateTime;
}

} // namespace qvx
