// What the service remembers of the PIN attempts on each SIM, which takes three wrong PINs
// before it wants the carrier's PUK: whether a PIN may go, and the records that carry the
// count across restarts. Plain functions over the records, shared by the service (TStateKeeper,
// on the terminal threads) and `--check`, so that both keep one rule.
#pragma once

#include "processing/ServiceState.h"
#include "terminal/SimLock.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace qvx {

using TPinRecords = std::vector<TServiceState::TPinAttempt>;

// The attempts the service spends on one SIM at most: the third, after which a wrong PIN
// locks the SIM, is left to a person.
constexpr int32_t PinAttemptsMax = 2;

// Whether pin may go to the SIM iccid (empty: a terminal that does not tell it): Refused when
// the SIM refused this PIN before, Exhausted once PinAttemptsMax attempts are counted on the
// SIM, else None with the count.
TPinPermit JudgePin(const TPinRecords& pins, const std::string& iccid, const std::string& pin);

// Judges the PIN and, when it may go, records the attempt with a fresh salt and has save()
// write it (save returns its error, empty on success): a PIN goes out only once its attempt is
// on disk, so that a kill or a crash loop cannot spend the SIM's tries unseen. A failed save
// or no random source for the salt undoes the record and gives Unrecorded with the reason.
TPinPermit RecordPinAttempt(TPinRecords& pins, const std::string& iccid, const std::string& pin,
                            std::time_t now, const std::function<std::string()>& save);

// The SIM's verdict: accepted forgets its records (the SIM counts afresh after a right PIN),
// refused marks the attempts of this PIN so that it never goes to the SIM again. False when
// no record changed.
bool ApplyPinVerdict(TPinRecords& pins, const std::string& iccid, const std::string& pin,
                     bool accepted);

} // namespace qvx
