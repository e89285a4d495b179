#include "terminal/LateAnswers.h"

namespace qvx {

void TLateAnswers::Remember(TEntry entry) {
    Forget(entry.WrittenTick);
    if (FEntries.size() >= Capacity)
        FEntries.pop_front();
    FEntries.push_back(std::move(entry));
}

std::optional<TLateAnswers::TEntry> TLateAnswers::Match(int32_t reference, uint32_t nowTick) {
    Forget(nowTick);
    if (FEntries.empty())
        return std::nullopt;
    TEntry entry = std::move(FEntries.front());
    FEntries.pop_front();
    entry.References.push_back(reference);
    return entry;
}

// Entries are in the order their PDUs went out, so the expired ones are at the front.
void TLateAnswers::Forget(uint32_t nowTick) {
    while (!FEntries.empty() && uint32_t(nowTick - FEntries.front().WrittenTick) >= FWindowMs)
        FEntries.pop_front();
}

} // namespace qvx
