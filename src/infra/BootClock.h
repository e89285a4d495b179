// Clocks for "how long ago did the server answer" across a suspend or a VM pause: the boot
// clock counts the time the machine slept, which the steady clock of the waits does not, and
// the wall clock shows a pause the host did not see at all (a VM stopped and moved). Both are
// read in milliseconds.
#pragma once

#include <cstdint>

namespace qvx {

// CLOCK_BOOTTIME: monotonic, and running through a suspend.
uint64_t BootMs() noexcept;
// CLOCK_REALTIME since the epoch.
int64_t WallMs() noexcept;

} // namespace qvx
