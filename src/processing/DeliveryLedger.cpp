#include "processing/DeliveryLedger.h"

namespace qvx {

bool TDeliveryLedger::Skipped(int32_t msgId) const {
    return FInFlight.contains(msgId) || FGivenUp.contains(msgId) || FUnstamped.contains(msgId);
}

void TDeliveryLedger::HandedOver(int32_t msgId, int64_t queuedAt) {
    if (FInFlight.emplace(msgId, queuedAt).second)
        FByAge.emplace(queuedAt, msgId);
}

void TDeliveryLedger::Landed(int32_t msgId) {
    const auto entry = FInFlight.find(msgId);
    if (entry == FInFlight.end())
        return;
    FByAge.erase({entry->second, msgId});
    FInFlight.erase(entry);
}

void TDeliveryLedger::Acknowledged(int32_t msgId) {
    Landed(msgId);
    FUnstamped.insert(msgId);
}

void TDeliveryLedger::GivenUp(int32_t msgId, int64_t givenUpAt) {
    Landed(msgId);
    FGivenUp[msgId] = givenUpAt;
}

void TDeliveryLedger::Returned(int32_t msgId) {
    Landed(msgId);
}

void TDeliveryLedger::TerminalStopped() {
    FInFlight.clear();
    FByAge.clear();
}

void TDeliveryLedger::Reloaded() {
    FGivenUp.clear();
}

std::vector<int32_t> TDeliveryLedger::ExpireGivenUp(int64_t now) {
    std::vector<int32_t> expired;
    for (auto entry = FGivenUp.begin(); entry != FGivenUp.end();) {
        if (now - entry->second >= GivenUpHoldSec) {
            expired.push_back(entry->first);
            entry = FGivenUp.erase(entry);
        } else
            ++entry;
    }
    return expired;
}

int64_t TDeliveryLedger::OldestQueuedAt() const {
    return FByAge.empty() ? 0 : FByAge.begin()->first;
}

void TDeliveryLedger::AnswerPrepared(const std::string& subscriberKey) {
    FAnswerNumbers.insert(subscriberKey);
}

std::set<std::string> TDeliveryLedger::TakeAnswerNumbers() {
    std::set<std::string> numbers;
    numbers.swap(FAnswerNumbers);
    return numbers;
}

std::vector<int32_t> TDeliveryLedger::Unstamped() const {
    return {FUnstamped.begin(), FUnstamped.end()};
}

// The tick is compared as a signed difference, so that it may wrap during the pause.
std::vector<int32_t> TDeliveryLedger::DueForStamp(uint32_t nowTick) const {
    if (FStampWaiting && static_cast<int32_t>(nowTick - FStampRetryTick) < 0)
        return {};
    if (FRefused.empty() || static_cast<int32_t>(nowTick - FRefusedRetryTick) >= 0)
        return Unstamped();
    std::vector<int32_t> due;
    for (const int32_t id : FUnstamped)
        if (!FRefused.contains(id))
            due.push_back(id);
    return due;
}

void TDeliveryLedger::Stamped(const std::vector<int32_t>& ids) {
    for (const int32_t id : ids) {
        FUnstamped.erase(id);
        FRefused.erase(id);
    }
    FStampWaiting = false;
}

void TDeliveryLedger::StampRefused(const std::vector<int32_t>& ids, uint32_t nowTick) {
    FRefused.insert(ids.begin(), ids.end());
    FRefusedRetryTick = nowTick + StampRetryMs;
}

void TDeliveryLedger::StampFailed(uint32_t nowTick) {
    FStampWaiting = true;
    FStampRetryTick = nowTick + StampRetryMs;
}

} // namespace qvx
