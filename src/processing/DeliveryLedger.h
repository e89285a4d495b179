// TDeliveryLedger, the worker's account of the messages it delivers: which are with the
// terminal (and since when), which the terminal gave up, which the network acknowledged but
// the database has not stamped yet, and whose account answers go first in the next pass. A
// sending pass asks it which rows to skip, so that no message is handed over twice. Plain and
// synchronous: the worker thread alone uses it; time comes in as arguments.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qvx {

class TDeliveryLedger {
public:
    // While the database cannot stamp, acknowledged ids wait this long between tries, so that
    // an outage does not write an error at every turn of the worker's loop.
    static constexpr uint32_t StampRetryMs = 5000;
    // A given-up message is tried again this long after it was given up (up to its lifetime),
    // so that a fault the network mends by itself does not keep it unsent.
    static constexpr int64_t GivenUpHoldSec = 3600;

    // No candidate for a pass: with the terminal, given up, or acknowledged and not stamped.
    bool Skipped(int32_t msgId) const;
    // The terminal took the message at queuedAt (wall-clock seconds).
    void HandedOver(int32_t msgId, int64_t queuedAt);
    // The terminal's outcomes. An acknowledged message waits to be stamped; a given-up one is
    // skipped for GivenUpHoldSec after givenUpAt or until a reload; a returned one is a
    // candidate again.
    void Acknowledged(int32_t msgId);
    void GivenUp(int32_t msgId, int64_t givenUpAt);
    void Returned(int32_t msgId);
    // The terminal stopped: what it still held was never stamped, and a later pass hands it
    // over again.
    void TerminalStopped();
    // A reload: the messages given up are tried again.
    void Reloaded();
    // Ends the hold of the messages given up GivenUpHoldSec or more before now; returns them.
    std::vector<int32_t> ExpireGivenUp(int64_t now);
    // Wall-clock seconds when the oldest message with the terminal was handed over; 0 when
    // none is.
    int64_t OldestQueuedAt() const;

    // A subscriber (its SubscriberKey) whose account state was just prepared.
    void AnswerPrepared(const std::string& subscriberKey);
    // The subscribers whose rows go first in this pass; the next pass starts without them.
    std::set<std::string> TakeAnswerNumbers();

    bool HasUnstamped() const { return !FUnstamped.empty(); }
    // Every acknowledged id not stamped yet, in ascending order.
    std::vector<int32_t> Unstamped() const;
    // The same, or none while the pause after a failed stamp lasts at nowTick; the ids whose
    // own rows were refused are left out while their pause lasts.
    std::vector<int32_t> DueForStamp(uint32_t nowTick) const;
    void Stamped(const std::vector<int32_t>& ids);
    // The stamp failed for all (the database) or for these rows alone; either waits
    // StampRetryMs before the next try.
    void StampFailed(uint32_t nowTick);
    void StampRefused(const std::vector<int32_t>& ids, uint32_t nowTick);

private:
    void Landed(int32_t msgId);

    // Messages with the terminal, and when each was handed over; the pairs order them by age.
    std::map<int32_t, int64_t> FInFlight;
    std::set<std::pair<int64_t, int32_t>> FByAge;
    std::map<int32_t, int64_t> FGivenUp; // and when
    std::set<int32_t> FUnstamped;
    std::set<std::string> FAnswerNumbers;
    bool FStampWaiting = false;
    uint32_t FStampRetryTick = 0;
    std::set<int32_t> FRefused;
    uint32_t FRefusedRetryTick = 0;
};

} // namespace qvx
