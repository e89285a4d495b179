#include "gsmsim/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace qvx {

namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

bool TPty::Open(std::string& error) {
    Close();
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) {
        error = SystemError("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 ||
        ptsname_r(FMaster, name, sizeof name) != 0) {
        error = SystemError("grantpt/unlockpt/ptsname");
        Close();
        return false;
    }
    FSlavePath = name;
    FSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios settings{};
    if (FSlave < 0 || tcgetattr(FSlave, &settings) != 0) {
        error = SystemError("open slave");
        Close();
        return false;
    }
    // Raw: no echo by the line discipline and no CR/LF translation, so the driver's bytes
    // reach the simulator as written and the answers reach the driver unchanged.
    cfmakeraw(&settings);
    int flags = fcntl(FMaster, F_GETFL);
    if (tcsetattr(FSlave, TCSANOW, &settings) != 0 || flags < 0 ||
        fcntl(FMaster, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = SystemError("raw mode");
        Close();
        return false;
    }
    return true;
}

void TPty::Close() noexcept {
    if (FMaster >= 0)
        close(FMaster);
    if (FSlave >= 0)
        close(FSlave);
    FMaster = -1;
    FSlave = -1;
    FSlavePath.clear();
}

} // namespace qvx
