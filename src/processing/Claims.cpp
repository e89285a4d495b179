// Placeholder until the lock statements exist: every id counts as claimed.
#include "processing/Claims.h"

namespace qvx {

std::vector<int32_t> TClaims::Claim(const std::vector<int32_t>& ids) {
    FHeld.insert(ids.begin(), ids.end());
    return ids;
}

void TClaims::Release(const std::vector<int32_t>& ids) noexcept {
    for (const int32_t id : ids)
        FHeld.erase(id);
}

bool TClaims::Lost() const {
    return false;
}

} // namespace qvx
