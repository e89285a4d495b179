// Fuzz target: unsolicited text arriving in flushes of any size, scanned the way the terminal
// thread does it: after each flush the saved text is bounded, then events are taken one per
// pass while the tick moves on. The saved text must stay bounded and each pass must shrink
// it or keep a RING waiting.
#include <cstddef>
#include <cstdint>
#include <string>

#include "terminal/Unsolicited.h"

namespace {

constexpr size_t SavedMax = 16 * 1024;
constexpr uint32_t RingWaitMs = 10000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvx::TUnsolicitedScanner scanner(RingWaitMs);
    std::string saved;
    uint32_t tick = 0xFFFFFF00u; // crosses the wrap-around on the way
    size_t pos = 0;
    while (pos < size) {
        // The first byte of each flush says how many bytes follow and how far time moves.
        const size_t chunk = data[pos] % 64 + 1;
        tick += uint32_t(data[pos]) * 97;
        ++pos;
        saved.append(reinterpret_cast<const char*>(data + pos), std::min(chunk, size - pos));
        pos += std::min(chunk, size - pos);
        qvx::BoundSaved(saved, SavedMax);
        for (int pass = 0; pass < 4 && qvx::StripLeadingCrLf(saved); ++pass) {
            const size_t before = saved.size();
            const qvx::TUnsolicitedEvent event = scanner.Next(saved, tick);
            if (saved.size() > before || saved.size() > SavedMax)
                __builtin_trap();
            if (event.Kind == qvx::TUnsolicitedKind::Ussd && event.UssdStatus == 2 &&
                event.UssdText.size() > event.UssdString.size() / 4)
                __builtin_trap();
            tick += 1000;
        }
    }
    return 0;
}
