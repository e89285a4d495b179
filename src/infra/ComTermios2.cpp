// Line speed through the kernel's termios2, the one interface that takes any rate (56000 has
// no Bxxx constant). <asm/termbits.h> redefines the structures of <termios.h>, so nothing
// here may include the latter.
#include "infra/Com.h"

#include <array>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace qvx {

namespace {

struct TStandardSpeed {
    int32_t Baud;
    tcflag_t Code;
};

// Rates with a constant of their own: set that way, stty and every other tool that reads the
// line through <termios.h> show the rate instead of a bare "BOTHER".
constexpr std::array<TStandardSpeed, 11> StandardSpeeds = {{{110, B110},
                                                            {300, B300},
                                                            {600, B600},
                                                            {1200, B1200},
                                                            {2400, B2400},
                                                            {4800, B4800},
                                                            {9600, B9600},
                                                            {19200, B19200},
                                                            {38400, B38400},
                                                            {57600, B57600},
                                                            {115200, B115200}}};

// The constant of a standard rate; BOTHER for any other, whose rate goes in c_ispeed/c_ospeed.
tcflag_t SpeedCode(int32_t baud) noexcept {
    for (const TStandardSpeed& speed : StandardSpeeds)
        if (speed.Baud == baud)
            return speed.Code;
    return BOTHER;
}

} // namespace

int COM::SetLineSpeed(int fd, int32_t baud) noexcept {
    if (baud <= 0)
        return EINVAL;
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return errno;
    // The same code for both directions; the kernel reads c_ispeed/c_ospeed for BOTHER only,
    // and fills them in from a standard code itself.
    const tcflag_t code = SpeedCode(baud);
    line.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= code | (code << IBSHIFT);
    line.c_ispeed = speed_t(baud);
    line.c_ospeed = speed_t(baud);
    if (::ioctl(fd, TCSETS2, &line) != 0)
        return errno;
    return 0;
}

int32_t COM::LineSpeed(int fd) noexcept {
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return -1;
    return int32_t(line.c_ospeed);
}

} // namespace qvx
