// The listing entries a terminal has dealt with (handed to the worker, or logged as not to be
// handed over) whose deletion failed, so that they are still on the SIM: each is known by its
// index and PDU, and a later listing deletes it again without handing it over a second time.
// Used by the terminal thread; the owner carries it from one terminal object to the next.
#pragma once

#include "terminal/Listing.h"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvx {

class THandledEntries {
public:
    // Far more than any SIM stores; beyond it the oldest are forgotten.
    static constexpr size_t Max = 1000;

    bool Contains(int32_t index, std::string_view pdu) const;
    void Add(int32_t index, std::string_view pdu);
    void Forget(int32_t index, std::string_view pdu);
    // Forgets every entry that a complete listing no longer shows: the SIM dropped it.
    void KeepListed(const std::vector<TListingEntry>& listed);
    size_t Size() const { return FEntries.size(); }
    // Oldest first, for the owner to keep across a restart.
    const std::deque<std::pair<int32_t, std::string>>& Entries() const { return FEntries; }

private:
    std::deque<std::pair<int32_t, std::string>> FEntries;
};

} // namespace qvx
