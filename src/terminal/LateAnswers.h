// TLateAnswers: the messages whose part went out without an answer, remembered for a while so
// that a "+CMGS" line arriving after the wait still acknowledges them. A terminal answers its
// submissions in order, so a late answer belongs to the oldest message still waiting. Pure
// logic over millisecond ticks, kept by the terminal thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace qvx {

class TLateAnswers {
public:
    // A few at most: the terminal is initialised again after each of them.
    static constexpr size_t Capacity = 4;

    struct TEntry {
        int32_t MsgId = 0;
        std::string Telephone;
        uint32_t WrittenTick = 0;        // when the unanswered PDU went out
        std::vector<int32_t> References; // the parts acknowledged before it
        // The unanswered part was the message's last: its answer completes the message.
        bool LastPart = true;
    };

    // windowMs: how long after its PDU went out an answer still counts.
    explicit TLateAnswers(uint32_t windowMs) : FWindowMs(windowMs) {}

    // The oldest entry goes when it is full.
    void Remember(TEntry entry);
    // Forgets the entries past the window, then takes the oldest left with reference added to
    // its References; nullopt when none waits.
    std::optional<TEntry> Match(int32_t reference, uint32_t nowTick);
    size_t Count() const { return FEntries.size(); }

private:
    void Forget(uint32_t nowTick);

    uint32_t FWindowMs;
    std::deque<TEntry> FEntries;
};

} // namespace qvx
