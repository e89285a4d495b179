// TClaims, the messages this process has taken from the database: each is held by a
// session-level advisory lock (two-integer form, class LockClass, key msgid) on the worker's
// connection, so that the other hosts sharing the database skip it. A message is claimed when
// a terminal takes it, checked again in a later statement to be still unsent, and released
// only after its stamp was committed or when it goes back to the pending list. Claims stay
// few: what the terminals hold, never the whole backlog. Worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace qvx {

class TDatabase;

class TClaims {
public:
    // The class half of every lock key: "QVXS".
    static constexpr int32_t LockClass = 0x51565853;

    explicit TClaims(TDatabase& database) : FDatabase(database) {}

    // Locks what it can of ids and keeps those still unsent; returns them in the order given.
    // Ids another session holds, or already stamped, are left out (the latter unlocked again).
    // Claims lost with a connection are locked again first; those another session took
    // meanwhile are forgotten. Throws EDatabaseError when the database fails; nothing new is
    // claimed then.
    std::vector<int32_t> Claim(const std::vector<int32_t>& ids);
    // Unlocks ids (their stamp is committed, or they went back to the list). Never throws:
    // locks of a lost connection are gone with it.
    void Release(const std::vector<int32_t>& ids) noexcept;
    bool Holds(int32_t id) const { return FHeld.count(id) != 0; }
    size_t Count() const { return FHeld.size(); }
    // The connection that held the claims was closed, broke or was replaced: they are gone on
    // the server. The next Claim (even of no ids) locks them again. A failed lock statement or
    // unlock closes the connection, since only that frees the locks it may have left.
    bool Lost() const;

private:
    // The held locks live on the open connection, the one they were taken on.
    bool OnTheirSession() const;
    // Locks the wanted ids not held yet, and every held one again when the claims were lost.
    void LockOnSession(const std::vector<int32_t>& wanted);
    // Locks ids (each once) on the current connection; the ones it got.
    std::set<int32_t> Lock(const std::vector<int32_t>& ids);
    // The held ids still unsent; the others are released (heldBefore: those held before this
    // claim, which a failure keeps).
    std::vector<int32_t> KeepUnsent(const std::vector<int32_t>& held,
                                    const std::set<int32_t>& heldBefore);

    TDatabase& FDatabase;
    std::set<int32_t> FHeld;
    uint64_t FGeneration = 0; // TDatabase::Generation() of the connection holding FHeld
};

} // namespace qvx
