// Placeholder: no limit holds yet.
#include "processing/SendLimits.h"

namespace qvx {

bool TSendLimits::MayTake(std::time_t, uint32_t) const {
    return true;
}
void TSendLimits::Taken(uint32_t) {}
void TSendLimits::Sent(std::time_t) {}
bool TSendLimits::AtDailyLimit(std::time_t) const {
    return false;
}
int32_t TSendLimits::SentToday(std::time_t) const {
    return FCount;
}
std::time_t TSendLimits::PeriodStart(std::time_t now) const {
    return now;
}
void TSendLimits::Restore(std::time_t periodStart, int32_t count) {
    FPeriodStart = periodStart;
    FCount = count;
}

} // namespace qvx
