#include "processing/PinAttempts.h"

#include "infra/Hex.h"

#include <algorithm>
#include <exception>
#include <random>

namespace qvx {

namespace {

// A terminal that does not tell the SIM's number: its attempts are kept under this one.
const std::string UnknownIccid = "0";

const std::string& SimOf(const std::string& iccid) {
    return iccid.empty() ? UnknownIccid : iccid;
}

// Throws when the system has no random source.
std::string NewSalt() {
    std::random_device random;
    std::string salt;
    for (int i = 0; i < 8; ++i) {
        const unsigned octet = random() & 0xFF;
        salt += HexDigits[octet >> 4];
        salt += HexDigits[octet & 0x0F];
    }
    return salt;
}

bool SamePin(const TServiceState::TPinAttempt& record, const std::string& sim,
             const std::string& pin) {
    return record.Iccid == sim && PinAttemptHash(record.Salt, sim, pin) == record.Hash;
}

} // namespace

TPinPermit JudgePin(const TPinRecords& pins, const std::string& iccid, const std::string& pin) {
    const std::string& sim = SimOf(iccid);
    TPinPermit permit;
    for (const auto& record : pins) {
        if (record.Iccid != sim)
            continue;
        ++permit.Counted;
        if (record.Refused && SamePin(record, sim, pin))
            permit.Wait = TPinWait::Refused;
    }
    if (permit.Wait == TPinWait::None && permit.Counted >= PinAttemptsMax)
        permit.Wait = TPinWait::Exhausted;
    return permit;
}

TPinPermit RecordPinAttempt(TPinRecords& pins, const std::string& iccid, const std::string& pin,
                            std::time_t now, const std::function<std::string()>& save) {
    TPinPermit permit = JudgePin(pins, iccid, pin);
    if (permit.Wait != TPinWait::None)
        return permit;
    const TPinRecords before = pins;
    try {
        const std::string& sim = SimOf(iccid);
        const std::string salt = NewSalt();
        pins.push_back({sim, salt, PinAttemptHash(salt, sim, pin), now, false});
        if (pins.size() > TServiceState::PinsMax)
            pins.erase(pins.begin());
        permit.Reason = save();
    } catch (const std::exception& error) {
        permit.Reason = std::string("нет соли для записи: ") + error.what();
    }
    if (!permit.Reason.empty()) {
        pins = before;
        permit.Wait = TPinWait::Unrecorded;
    }
    return permit;
}

bool ApplyPinVerdict(TPinRecords& pins, const std::string& iccid, const std::string& pin,
                     bool accepted) {
    const std::string& sim = SimOf(iccid);
    if (accepted)
        return std::erase_if(pins, [&](const auto& record) { return record.Iccid == sim; }) != 0;
    bool changed = false;
    for (auto& record : pins)
        if (!record.Refused && SamePin(record, sim, pin)) {
            record.Refused = true;
            changed = true;
        }
    return changed;
}

} // namespace qvx
