#include "terminal/HandledEntries.h"

#include <algorithm>

namespace qvx {

namespace {

bool Same(const std::pair<int32_t, std::string>& entry, int32_t index, std::string_view pdu) {
    return entry.first == index && entry.second == pdu;
}

} // namespace

bool THandledEntries::Contains(int32_t index, std::string_view pdu) const {
    return std::any_of(FEntries.begin(), FEntries.end(),
                       [&](const auto& entry) { return Same(entry, index, pdu); });
}

void THandledEntries::Add(int32_t index, std::string_view pdu) {
    if (Contains(index, pdu))
        return;
    FEntries.emplace_back(index, std::string(pdu));
    if (FEntries.size() > Max)
        FEntries.pop_front();
}

void THandledEntries::Forget(int32_t index, std::string_view pdu) {
    std::erase_if(FEntries, [&](const auto& entry) { return Same(entry, index, pdu); });
}

void THandledEntries::KeepListed(const std::vector<TListingEntry>& listed) {
    std::erase_if(FEntries, [&](const auto& entry) {
        return std::none_of(listed.begin(), listed.end(), [&](const TListingEntry& shown) {
            return Same(entry, shown.Index, shown.Pdu);
        });
    });
}

} // namespace qvx
