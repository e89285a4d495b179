#include "processing/Claims.h"

#include "processing/Database.h"

namespace qvx {

namespace {

// ids without repeats, in their order: the server must see each id once, since a lock
// taken twice in one session needs two unlocks.
std::vector<int32_t> Distinct(const std::vector<int32_t>& ids) {
    std::set<int32_t> seen;
    std::vector<int32_t> distinct;
    for (const int32_t id : ids)
        if (seen.insert(id).second)
            distinct.push_back(id);
    return distinct;
}

} // namespace

bool TClaims::OnTheirSession() const {
    return FDatabase.Connected() && FDatabase.Generation() == FGeneration;
}

bool TClaims::Lost() const {
    return !FHeld.empty() && !OnTheirSession();
}

std::vector<int32_t> TClaims::Claim(const std::vector<int32_t>& ids) {
    const std::vector<int32_t> wanted = Distinct(ids);
    const std::set<int32_t> heldBefore = FHeld;
    LockOnSession(wanted);
    std::vector<int32_t> held;
    for (const int32_t id : wanted)
        if (Holds(id))
            held.push_back(id);
    return held.empty() ? held : KeepUnsent(held, heldBefore);
}

void TClaims::LockOnSession(const std::vector<int32_t>& wanted) {
    const bool lost = Lost();
    std::vector<int32_t> toLock;
    for (const int32_t id : wanted)
        if (lost || !Holds(id))
            toLock.push_back(id);
    if (lost) {
        const std::set<int32_t> wantedSet(wanted.begin(), wanted.end());
        for (const int32_t id : FHeld)
            if (wantedSet.count(id) == 0)
                toLock.push_back(id);
    }
    std::set<int32_t> locked;
    if (!toLock.empty())
        locked = Lock(toLock);
    if (lost) // what could not be locked again is another session's now
        std::erase_if(FHeld, [&](int32_t id) { return locked.count(id) == 0; });
    FHeld.insert(locked.begin(), locked.end());
    FGeneration = FDatabase.Generation();
}

std::vector<int32_t> TClaims::KeepUnsent(const std::vector<int32_t>& held,
                                         const std::set<int32_t>& heldBefore) {
    // Read after locking: a stamp another session committed before it unlocked is seen.
    std::vector<int32_t> unsent;
    try {
        unsent = FDatabase.Unsent(held);
    } catch (...) {
        std::vector<int32_t> fresh;
        for (const int32_t id : held)
            if (heldBefore.count(id) == 0)
                fresh.push_back(id);
        Release(fresh);
        throw;
    }
    const std::set<int32_t> unsentSet(unsent.begin(), unsent.end());
    std::vector<int32_t> stale;
    for (const int32_t id : held)
        if (unsentSet.count(id) == 0)
            stale.push_back(id);
    Release(stale);
    return unsent;
}

std::set<int32_t> TClaims::Lock(const std::vector<int32_t>& ids) {
    try {
        const std::vector<int32_t> locked = FDatabase.TryLocks(LockClass, ids);
        return {locked.begin(), locked.end()};
    } catch (...) {
        // The statement may have taken some of its locks before it failed, and which is
        // unknown: only ending the session frees them (and the held ones, locked again later).
        FDatabase.Close();
        throw;
    }
}

void TClaims::Release(const std::vector<int32_t>& ids) noexcept {
    const bool onTheirSession = OnTheirSession();
    std::vector<int32_t> unlock;
    for (const int32_t id : Distinct(ids))
        if (FHeld.erase(id) != 0 && onTheirSession)
            unlock.push_back(id);
    if (unlock.empty())
        return;
    try {
        FDatabase.Unlock(LockClass, unlock);
    } catch (...) {
        // Locks a failed unlock left behind would stay for the life of the session: it is
        // ended, which frees them (and the other held ones, which the next Claim locks again).
        FDatabase.Close();
    }
}

} // namespace qvx
