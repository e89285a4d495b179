// Line speed through the kernel's termios2, the one interface that takes any rate (56000 has
// no Bxxx constant). <asm/termbits.h> redefines the structures of <termios.h>, so nothing
// here may include the latter.
#include "infra/Com.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace qvx {

int COM::SetLineSpeed(int fd, int32_t baud) noexcept {
    if (baud <= 0)
        return EINVAL;
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return errno;
    // BOTHER for both directions: the rates come from c_ispeed and c_ospeed.
    line.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
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
