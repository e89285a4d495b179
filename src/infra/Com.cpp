#include "infra/Com.h"

#include "infra/Deadline.h"
#include "infra/Decimal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qvx {

struct COM::TSavedLine {
    termios Attr{};
    bool Valid = false;
};

namespace {

constexpr uint32_t AllErrors = 0xFFFFFFFF;
// The biggest block whose timeout is worth computing; longer ones wait as long as this.
constexpr int64_t TimeoutBytesLimit = int64_t(1) << 30;

using std::chrono::milliseconds;

// The moment a wait of the given length from now ends. Deadlines stay time points of the
// steady clock: whole milliseconds taken from a truncated clock could end a wait up to a
// millisecond before its timeout.
TClock::time_point DeadlineAfterMs(int64_t ms) noexcept {
    return TClock::now() + milliseconds(ms);
}

// A block's timeout: the constant plus the multiplier for every byte.
int64_t BlockTimeoutMs(int64_t constantMs, int64_t perByteMs, size_t count) noexcept {
    return constantMs + perByteMs * std::min<int64_t>(int64_t(count), TimeoutBytesLimit);
}

// The code an open step reports: the device is missing, in use, or no port at all keep the
// numbers the terminal log knows; any other errno keeps its own number. EIO, ENOMEDIUM and
// EUSERS share their numbers with those codes, so they are folded into the nearest of them.
uint32_t OpenErrorCode(int error) noexcept {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    case EIO: // a device that went away while being opened
        return ComNoSuchPort;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EUSERS:
        return ComPortBusy;
    case ENOTTY:
        return ComBadName;
    default:
        return uint32_t(error);
    }
}

// strerror_r comes in a GNU and an XSI flavour; one of these picks the text from either.
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) noexcept {
    return result;
}

std::string SystemErrorText(int error) {
    char buffer[256] = {};
    return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

bool InRange(int32_t index, size_t size) noexcept {
    return index >= 0 && size_t(index) < size;
}

// "COM" (any case) and a decimal number; number is 0 for "COM0".
bool ParseComNumber(const std::string& name, int32_t& number) noexcept {
    if (name.size() < 4 || name.size() > 12)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if ((name[i] | 0x20) != "com"[i])
            return false;
    const auto digits = ParseDigits(std::string_view(name).substr(3));
    if (!digits)
        return false;
    number = *digits;
    return true;
}

void SetParity(termios& attr, int32_t parity) noexcept {
    attr.c_cflag &= ~tcflag_t(PARENB | PARODD | CMSPAR);
    switch (parity) {
    case 1: // odd
        attr.c_cflag |= PARENB | PARODD;
        break;
    case 2: // even
        attr.c_cflag |= PARENB;
        break;
    case 3: // mark: stick parity, always 1
        attr.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4: // space: stick parity, always 0
        attr.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
}

// A raw 8-bit line: no echo, no character processing, no XON/XOFF, modem lines ignored for
// receiving. A byte with a parity error passes as received; the driver counts the error.
void MakeRawLine(termios& attr, int32_t parity, bool twoStopBits, bool rtsCts) noexcept {
    ::cfmakeraw(&attr);
    attr.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
    attr.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | CRTSCTS);
    attr.c_cflag |= CS8 | CLOCAL | CREAD;
    SetParity(attr, parity);
    if (twoStopBits)
        attr.c_cflag |= CSTOPB;
    if (rtsCts)
        attr.c_cflag |= CRTSCTS;
    // One byte completes a read; the waits are done by poll().
    attr.c_cc[VMIN] = 1;
    attr.c_cc[VTIME] = 0;
}

} // namespace

COM::COM() : FSaved(std::make_unique<TSavedLine>()) {
    SetPortNumber(0);
}

COM::~COM() {
    Close();
}

bool COM::IsOpen() const {
    return static_cast<bool>(FHandle);
}

bool COM::Open() {
    return Open(FName);
}

bool COM::Open(const std::string& name) noexcept {
    try {
        FName = name;
    } catch (...) {
        FLastError = ENOMEM;
        return false;
    }
    FLastError = 0;
    if (IsOpen())
        return true;
    FErrors = 0;
    FInQue = 0;
    FHungUp = false;
    const std::string path = DevicePath(PortName());
    if (path.empty()) {
        FLastError = ComBadName;
        return false;
    }
    if (!OpenDevice(path))
        return false;
    if (!ConfigureLine()) {
        Close();
        return false;
    }
    return ApplyTimeouts();
}

bool COM::OpenDevice(const std::string& path) noexcept {
    // The lock file comes first, so that a port another program owns is not even opened
    // (opening raises its modem lines).
    if (FLock.Take(path) == TPortLock::TResult::Busy) {
        FLastError = ComPortBusy;
        return false;
    }
    TUniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        FLastError = OpenErrorCode(errno);
        FLock.Release();
        return false;
    }
    if (!::isatty(fd.Get())) {
        FLastError = errno == EIO ? ComNoSuchPort : ComBadName;
        FLock.Release();
        return false;
    }
    // A flock keeps out every program that locks the port as well, another copy of this
    // service included, and settles two starts that both found a stale lock file. A port
    // that a program made exclusive is someone else's too. The port is not made exclusive
    // here: that mark outlives a killed owner wherever the device stays open elsewhere (a
    // pseudo-terminal's other side), and would keep the next start out for good.
    int exclusive = 0;
    const bool busy = ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 ||
                      (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0);
    if (busy) {
        FLastError = ComPortBusy;
        FLock.Release();
        return false;
    }
    FHandle = std::move(fd);
    return true;
}

bool COM::ConfigureLine() noexcept {
    if (!InRange(FLine.BaudRate, BaudRates.size()) || !InRange(FLine.Parity, Parities.size()) ||
        !InRange(FLine.StopBits, StopBitsNames.size()) || FLine.StopBits == 1) {
        // The line cannot take 1.5 stop bits with 8 data bits.
        FLastError = ComBadSettings;
        return false;
    }
    termios attr{};
    if (::tcgetattr(FHandle.Get(), &attr) != 0) {
        FLastError = OpenErrorCode(errno);
        return false;
    }
    FSaved->Attr = attr;
    FSaved->Valid = true;

    MakeRawLine(attr, FLine.Parity, FLine.StopBits == 2, FLine.RtsCts);
    if (::tcsetattr(FHandle.Get(), TCSANOW, &attr) != 0) {
        FLastError = OpenErrorCode(errno);
        return false;
    }
    if (const int error = SetLineSpeed(FHandle.Get(), BaudRates[size_t(FLine.BaudRate)].Baud);
        error != 0) {
        FLastError = OpenErrorCode(error);
        return false;
    }
    PurgeAll();
    // The port starts with DTR low, and RTS low unless the hardware handshake drives it.
    SetDTR(false);
    if (!FLine.RtsCts)
        SetRTS(false);
    FLineCountersKnown = ReadLineCounters(FLineCounters);
    return true;
}

bool COM::ReadLineCounters(std::array<int64_t, 5>& counters) const noexcept {
    serial_icounter_struct count{};
    // Pseudo-terminals and some USB adapters keep no counters.
    if (::ioctl(FHandle.Get(), TIOCGICOUNT, &count) != 0)
        return false;
    counters = {count.overrun, count.parity, count.frame, count.brk, count.buf_overrun};
    return true;
}

uint32_t CounterErrors(std::array<int64_t, 5>& last, const std::array<int64_t, 5>& now) noexcept {
    static constexpr std::array<uint32_t, 5> Flags = {ComErrOverrun, ComErrRxParity, ComErrFrame,
                                                      ComErrBreak, ComErrRxOver};
    uint32_t errors = 0;
    for (size_t i = 0; i < now.size(); ++i)
        if (now[i] != last[i])
            errors |= Flags[i];
    last = now;
    return errors;
}

// Line errors counted by the driver since the last check, as the error flags of a Windows
// port are cleared by reading them.
uint32_t COM::LineErrors() noexcept {
    std::array<int64_t, 5> now{};
    if (!FLineCountersKnown || !ReadLineCounters(now))
        return 0;
    return CounterErrors(FLineCounters, now);
}

bool COM::Close() {
    if (!IsOpen())
        return true;
    PurgeAll();
    SetDTR(false);
    SetRTS(false);
    if (FSaved->Valid)
        ::tcsetattr(FHandle.Get(), TCSANOW, &FSaved->Attr);
    FSaved->Valid = false;
    const bool closed = FHandle.Close();
    FLock.Release();
    FHungUp = false;
    FLineCountersKnown = false;
    FInQue = 0;
    return closed;
}

bool COM::SetTimeout(int32_t ms) {
    FTimeoutMs = ms;
    return ApplyTimeouts();
}

bool COM::ApplyTimeouts() noexcept {
    if (!IsOpen())
        return false;
    if (!InRange(FLine.BaudRate, BaudRates.size())) {
        FLastError = ComBadSettings;
        return false;
    }
    const int64_t perByteMs = BaudRates[size_t(FLine.BaudRate)].TimeoutMultiplierMs;
    const int64_t constantMs = std::max(FTimeoutMs, 0);
    FTimeouts = {constantMs, perByteMs, constantMs, perByteMs, constantMs};
    return true;
}

bool COM::WriteByte(char c) {
    return Write(&c, 1);
}

bool COM::Write(const void* data, size_t count) {
    FWritten = 0;
    FFailed = true;
    if (!IsOpen() || (data == nullptr && count > 0))
        return false;
    const size_t sent = WriteBlock(data, count);
    FWritten = int32_t(std::min<size_t>(sent, INT32_MAX));
    // Bytes the driver took count as success even when the timeout cut the rest; a write
    // that got nothing out, or met a vanished device, failed.
    FFailed = FHungUp || (sent == 0 && count > 0);
    ClearError();
    return !FFailed;
}

size_t COM::WriteBlock(const void* data, size_t count) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto deadline = DeadlineAfterMs(
        BlockTimeoutMs(FTimeouts.WriteConstantMs, FTimeouts.WriteMultiplierMs, count));
    size_t sent = 0;
    while (sent < count) {
        const ssize_t n = ::write(FHandle.Get(), bytes + sent, count - sent);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (WaitReady(POLLOUT, deadline))
                continue;
            break;
        }
        if (n < 0 && errno == EIO)
            FHungUp = true;
        break;
    }
    return sent;
}

bool COM::ReadByte(char* c) {
    return Read(c, 1);
}

bool COM::ReadByte(char& c) {
    return Read(&c, 1);
}

bool COM::Read(void* data, size_t count) {
    FRead = 0;
    FFailed = true;
    if (!IsOpen() || (data == nullptr && count > 0))
        return false;
    const size_t got = ReadBlock(data, count);
    FRead = int32_t(std::min<size_t>(got, INT32_MAX));
    FFailed = got != count;
    ClearError();
    return !FFailed;
}

// Reads like a serial driver with interval and total timeouts: the whole read may take the
// constant plus the multiplier per byte, and once bytes flow, a gap longer than the interval
// ends it early.
size_t COM::ReadBlock(void* data, size_t count) noexcept {
    auto* bytes = static_cast<unsigned char*>(data);
    const auto totalDeadline = DeadlineAfterMs(
        BlockTimeoutMs(FTimeouts.ReadConstantMs, FTimeouts.ReadMultiplierMs, count));
    TClock::time_point lastByte;
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(FHandle.Get(), bytes + got, count - got);
        if (n > 0) {
            got += size_t(n);
            lastByte = TClock::now();
            continue;
        }
        // A hung-up terminal reads 0 or EIO; after poll() saw the hang-up, an empty read
        // means the same.
        if (n == 0 || errno == EIO || (FHungUp && errno == EAGAIN)) {
            FHungUp = true;
            break;
        }
        if (errno != EAGAIN && errno != EINTR)
            break;
        auto deadline = totalDeadline;
        if (got > 0 && FTimeouts.ReadIntervalMs > 0)
            deadline = std::min(deadline, lastByte + milliseconds(FTimeouts.ReadIntervalMs));
        if (!WaitReady(POLLIN, deadline))
            break;
    }
    return got;
}

size_t COM::ReadAvailable(void* data, size_t count) noexcept {
    FRead = 0;
    FFailed = true;
    if (!IsOpen() || data == nullptr || count == 0)
        return 0;
    ssize_t n = 0;
    do {
        n = ::read(FHandle.Get(), data, count);
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    // As in ReadBlock: a hung-up terminal reads 0 or EIO; once it hung up, nothing waiting
    // means the same.
    if (n == 0 || error == EIO)
        FHungUp = true;
    FFailed = n <= 0 && (FHungUp || error != EAGAIN);
    FErrors = (FHungUp ? ComErrIo : 0) | LineErrors();
    FRead = n > 0 ? int32_t(std::min<ssize_t>(n, INT32_MAX)) : 0;
    return n > 0 ? size_t(n) : 0;
}

// Waits until the port is ready for events; false when the deadline passed or the device hung
// up without anything left to read.
bool COM::WaitReady(short events, TClock::time_point deadline) noexcept {
    for (;;) {
        const auto left = deadline - TClock::now();
        if (left <= TClock::duration::zero())
            return false;
        pollfd ready{FHandle.Get(), events, 0};
        const int n = ::poll(&ready, 1, PollTimeoutMs(left));
        if (n < 0 && errno != EINTR)
            return false;
        if (n <= 0)
            continue;
        if (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            FHungUp = true;
            return (ready.revents & POLLIN) != 0 && events == POLLIN;
        }
        if (ready.revents & events)
            return true;
    }
}

char COM::ReadChar() {
    char c = 0;
    return ReadByte(&c) ? c : '\0';
}

int32_t COM::InQueue() {
    if (!IsOpen())
        return 0;
    ClearError();
    return FInQue;
}

uint32_t COM::ModemStatus() {
    int lines = 0;
    if (!IsOpen() || ::ioctl(FHandle.Get(), TIOCMGET, &lines) != 0)
        return 0;
    uint32_t status = 0;
    status |= (lines & TIOCM_CTS) ? ComCtsOn : 0;
    status |= (lines & TIOCM_DSR) ? ComDsrOn : 0;
    status |= (lines & TIOCM_RNG) ? ComRingOn : 0;
    status |= (lines & TIOCM_CAR) ? ComRlsdOn : 0;
    return status;
}

void COM::ClearError() {
    if (!IsOpen())
        return;
    FErrors = 0;
    // A vanished device shows as a hang-up without any transfer, so that InQueue() alone
    // tells the terminal thread to open the port again.
    pollfd state{FHandle.Get(), 0, 0};
    if (::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)))
        FHungUp = true;
    if (FHungUp)
        FErrors |= ComErrIo;
    FErrors |= LineErrors();
    int queued = 0;
    if (::ioctl(FHandle.Get(), FIONREAD, &queued) != 0) {
        FErrors = AllErrors;
        FInQue = 0;
        return;
    }
    FInQue = queued;
}

bool COM::Transact(const void* out, size_t outCount, void* in, size_t inCount, uint32_t limitMs,
                   bool purgeFirst) noexcept {
    FWritten = 0;
    FRead = 0;
    FFailed = true;
    if (out == nullptr || in == nullptr || outCount == 0 || inCount == 0 || !IsOpen())
        return false;
    if (purgeFirst)
        PurgeAll();
    if (!Write(out, outCount))
        return false;
    auto* bytes = static_cast<char*>(in);
    size_t received = 0;
    const auto deadline = DeadlineAfterMs(limitMs);
    // A vanished device fails every read at once; waiting out the limit would only spin.
    while (received < inCount && TClock::now() < deadline && !FHungUp)
        if (Read(bytes + received, 1))
            ++received;
    FRead = int32_t(std::min<size_t>(received, INT32_MAX));
    FFailed = received != inCount;
    return !FFailed;
}

std::string COM::PortName() const noexcept {
    try {
        return FName;
    } catch (...) {
        return {};
    }
}

std::string COM::ErrorText() const noexcept {
    try {
        switch (FLastError) {
        case ComNoSuchPort:
            return "Указанный порт отствует в системе";
        case ComPortBusy:
            return "Указанный порт занят другим приложением";
        case ComBadName:
            return "Неверное имя COM порта";
        case ComBadSettings:
            return SystemErrorText(EINVAL);
        default:
            return SystemErrorText(int(FLastError));
        }
    } catch (...) {
        return {};
    }
}

void COM::SetPortNumber(int32_t index) noexcept {
    FNumber = index + 1;
    try {
        FName = "COM" + std::to_string(FNumber);
    } catch (...) {
        FName.clear();
    }
}

void COM::SetDTR(bool on) noexcept {
    if (!IsOpen())
        return;
    FDtr = on;
    SetModemLine(TIOCM_DTR, on);
}

void COM::SetRTS(bool on) noexcept {
    if (!IsOpen())
        return;
    FRts = on;
    SetModemLine(TIOCM_RTS, on);
}

// A pseudo-terminal refuses modem lines; the port works without them.
void COM::SetModemLine(int line, bool on) noexcept {
    ::ioctl(FHandle.Get(), on ? TIOCMBIS : TIOCMBIC, &line);
}

bool COM::HasErrors() const noexcept {
    return (FErrors & ComErrorMask) != 0;
}

void COM::PurgeAll() noexcept {
    if (IsOpen())
        ::tcflush(FHandle.Get(), TCIOFLUSH);
}

std::string COM::DevicePath(const std::string& portName) noexcept {
    try {
        if (portName.empty() || portName.find('\0') != std::string::npos)
            return {};
        if (portName.front() == '/')
            return portName;
        int32_t number = 0;
        if (ParseComNumber(portName, number))
            return number >= 1 ? "/dev/ttyS" + std::to_string(number - 1) : std::string();
        return "/dev/" + portName;
    } catch (...) {
        return {};
    }
}

} // namespace qvx
