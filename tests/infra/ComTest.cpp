#include "infra/Com.h"

#include "support/PtyPair.h"
#include "support/TempDir.h"
#include "support/Text.h"
#include "support/Waiting.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace qvx {
namespace {

using test::TPtyPair;

const std::string NoSuchPortText = "Указанный порт отствует в системе";
const std::string PortBusyText = "Указанный порт занят другим приложением";
const std::string BadNameText = "Неверное имя COM порта";

// How much later than asked a wait may end: a loaded machine and a sanitizer build can keep a
// woken thread off the processor for a good while. A wait may never end earlier.
constexpr int64_t LateMs = 1500;

// Whole milliseconds since start, rounded down, so that a lower bound is never met early.
int64_t ElapsedMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Waits until the port has count bytes waiting: the pty hands bytes over from a kernel
// worker, not at once.
int32_t WaitInQueue(COM& port, int32_t count) {
    test::WaitUntil([&] { return port.InQueue() >= count; }, 5000, 2);
    return port.InQueue();
}

// Owner of a plain descriptor of the slave side, as another program would hold it.
struct TPlainFd {
    explicit TPlainFd(const std::string& path) : Fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~TPlainFd() {
        if (Fd >= 0)
            close(Fd);
    }
    TPlainFd(const TPlainFd&) = delete;
    TPlainFd& operator=(const TPlainFd&) = delete;
    int Fd;
};

TEST(ComNames, DevicePathOfPortNames) {
    struct TCase {
        std::string Name;
        std::string Path;
        const char* Note;
    };
    const TCase cases[] = {
        {"COM1", "/dev/ttyS0", "first port"},
        {"COM12", "/dev/ttyS11", "two digits"},
        {"com3", "/dev/ttyS2", "names are case-blind like the Windows ones"},
        {"/dev/pts/7", "/dev/pts/7", "absolute path as is"},
        {"/dev/serial/by-id/usb-Siemens_MC35-if00", "/dev/serial/by-id/usb-Siemens_MC35-if00",
         "stable link"},
        {"ttyUSB0", "/dev/ttyUSB0", "plain device name"},
        {"serial/by-id/x", "/dev/serial/by-id/x", "relative path below /dev"},
        {"COMX", "/dev/COMX", "not a COM number"},
        {"COM0", "", "COM numbers start at 1"},
        {"", "", "empty name"},
        {std::string("COM1\0x", 6), "", "embedded NUL"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(COM::DevicePath(c.Name), c.Path) << c.Note << ": " << c.Name;
}

TEST(ComNames, PortNameIsTheNameGiven) {
    COM port;
    EXPECT_EQ(port.PortName(), "COM1") << "a fresh port is COM1";
    port.SetPortNumber(11);
    EXPECT_EQ(port.PortName(), "COM12") << "index 11 is COM12";
    EXPECT_EQ(port.PortNumber(), 12);

    struct TCase {
        std::string Name;
        std::string PortName;
    };
    const TCase cases[] = {
        {"/nonexistent/qvx-b", "/nonexistent/qvx-b"},
        {"ttyQVX9", "ttyQVX9"},
    };
    for (const auto& c : cases) {
        port.Open(c.Name);
        EXPECT_EQ(port.PortName(), c.PortName) << c.Name;
    }
}

TEST(ComOpen, FailuresGiveCodeAndText) {
    test::TTempDir dir;
    dir.Write("plain", "not a port");
    ASSERT_EQ(symlink("/nonexistent/qvx-target", dir.File("dangling").c_str()), 0);
    struct TCase {
        std::string Name;
        uint32_t Code;
        std::string Text;
        const char* Note;
    };
    const TCase cases[] = {
        {"/nonexistent/qvx-port", ComNoSuchPort, NoSuchPortText, "missing path"},
        {dir.File("dangling"), ComNoSuchPort, NoSuchPortText, "dangling link"},
        {"/dev/null", ComBadName, BadNameText, "character device but no terminal"},
        {dir.File("plain"), ComBadName, BadNameText, "regular file"},
        {"", ComBadName, BadNameText, "empty name"},
        {"", ComBadName, BadNameText, "empty name"},
        {"COM0", ComBadName, BadNameText, "COM0"},
        {"/tmp", EISDIR, strerror(EISDIR), "directory keeps its errno and text"},
    };
    for (const auto& c : cases) {
        COM port;
        EXPECT_FALSE(port.Open(c.Name)) << c.Note;
        EXPECT_FALSE(port.IsOpen()) << c.Note;
        EXPECT_EQ(port.Fd(), -1) << c.Note;
        EXPECT_EQ(port.LastError(), c.Code) << c.Note;
        EXPECT_EQ(port.ErrorText(), c.Text) << c.Note;
    }
}

TEST(ComOpen, SettingsTheLineCannotTake) {
    TPtyPair pty;
    struct TCase {
        int32_t BaudRate, Parity, StopBits;
        const char* Note;
    };
    const TCase cases[] = {
        {7, 0, 1, "1.5 stop bits"},
        {12, 0, 0, "baud index past the table"},
        {-1, 0, 0, "negative baud"},
        {7, 5, 0, "parity index past the table"},
        {7, 0, 3, "stop bits past the table"},
    };
    for (const auto& c : cases) {
        COM port;
        port.FLine.BaudRate = c.BaudRate;
        port.FLine.Parity = c.Parity;
        port.FLine.StopBits = c.StopBits;
        EXPECT_FALSE(port.Open(pty.SlavePath())) << c.Note;
        EXPECT_FALSE(port.IsOpen()) << c.Note << ": the port must be closed again";
        EXPECT_EQ(port.LastError(), ComBadSettings) << c.Note;
        EXPECT_EQ(port.ErrorText(), strerror(EINVAL)) << c.Note;
    }
    COM port;
    EXPECT_TRUE(port.Open(pty.SlavePath()))
        << "a refused open must not leave the port locked: " << port.ErrorText();
}

TEST(ComOpen, EveryBaudRateReachesTheLine) {
    // What stty and every other tool that reads the line through termios see: a standard rate
    // as its own constant; 56000 has none.
    const speed_t shown[] = {B110,  B300,   B600,   B1200, B2400,  B4800,
                             B9600, B19200, B38400, 0,     B57600, B115200};
    static_assert(std::size(shown) == BaudRates.size());
    TPtyPair pty;
    for (size_t i = 0; i < BaudRates.size(); ++i) {
        COM port;
        port.FLine.BaudRate = int32_t(i);
        ASSERT_TRUE(port.Open(pty.SlavePath())) << BaudRates[i].Name << ": " << port.ErrorText();
        EXPECT_EQ(COM::LineSpeed(port.Fd()), BaudRates[i].Baud) << "line speed at index " << i;
        termios line{};
        ASSERT_EQ(tcgetattr(port.Fd(), &line), 0);
        if (shown[i] != 0) {
            EXPECT_EQ(cfgetospeed(&line), shown[i]) << BaudRates[i].Name << " as its constant";
            EXPECT_EQ(cfgetispeed(&line), shown[i]) << BaudRates[i].Name << " as its constant";
        }
    }
}

// The driver's counters only grow; each movement is one report, at the check that sees it.
TEST(ComLineCounters, EachGlitchIsReportedOnce) {
    using TCounters = std::array<int64_t, 5>;
    struct TStep {
        TCounters Now;
        uint32_t Errors;
        const char* Note;
    };
    const TStep steps[] = {
        {{0, 0, 0, 0, 0}, 0, "quiet line"},
        {{1, 0, 0, 0, 0}, ComErrOverrun, "an overrun"},
        {{1, 0, 0, 0, 0}, 0, "the same overrun is not reported again"},
        {{1, 2, 1, 0, 0}, ComErrRxParity | ComErrFrame, "parity and framing at once"},
        {{1, 2, 1, 1, 1}, ComErrBreak | ComErrRxOver, "a break and a buffer overrun"},
        {{1, 2, 1, 1, 1}, 0, "quiet again"},
    };
    TCounters last{};
    for (const TStep& step : steps)
        EXPECT_EQ(CounterErrors(last, step.Now), step.Errors) << step.Note;
}

TEST(ComOpen, LineFlagsFollowTheSettings) {
    TPtyPair pty;
    struct TCase {
        int32_t Parity, StopBits;
        bool RtsCts;
        tcflag_t Expected; // among PARENB, PARODD, CMSPAR, CSTOPB, CRTSCTS
        const char* Note;
    };
    const TCase cases[] = {
        {0, 2, false, CSTOPB, "no parity, two stop bits"},
        {0, 0, false, 0, "one stop bit"},
        {1, 0, false, PARENB | PARODD, "odd"},
        {2, 0, false, PARENB, "even"},
        {3, 0, false, PARENB | PARODD | CMSPAR, "mark"},
        {4, 2, true, PARENB | CMSPAR | CSTOPB | CRTSCTS, "space, two stop bits, RTS/CTS"},
    };
    constexpr tcflag_t Watched = PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const auto& c : cases) {
        COM port;
        port.FLine.Parity = c.Parity;
        port.FLine.StopBits = c.StopBits;
        port.FLine.RtsCts = c.RtsCts;
        ASSERT_TRUE(port.Open(pty.SlavePath())) << c.Note << ": " << port.ErrorText();
        termios attr{};
        ASSERT_EQ(tcgetattr(port.Fd(), &attr), 0) << c.Note;
        // A pty keeps every flag but PARENB, which it clears.
        EXPECT_EQ(attr.c_cflag & Watched & ~tcflag_t(PARENB), c.Expected & ~tcflag_t(PARENB))
            << c.Note;
        EXPECT_EQ(attr.c_cflag & (CSIZE | CLOCAL | CREAD), tcflag_t(CS8 | CLOCAL | CREAD))
            << c.Note << ": 8 data bits, local line, receiver on";
        EXPECT_EQ(attr.c_iflag & (IXON | IXOFF | ICRNL), 0u) << c.Note << ": bytes pass as is";
        EXPECT_EQ(attr.c_lflag & (ICANON | ECHO), 0u) << c.Note << ": raw mode";
        EXPECT_EQ(attr.c_oflag & OPOST, 0u) << c.Note << ": no output processing";
        EXPECT_EQ(COM::LineSpeed(port.Fd()), BaudRates[DefaultBaudRate].Baud)
            << c.Note << ": default speed";
    }
}

TEST(ComOpen, CloseRestoresTheLine) {
    TPtyPair pty;
    termios before{};
    {
        TPlainFd plain(pty.SlavePath());
        ASSERT_GE(plain.Fd, 0);
        ASSERT_EQ(tcgetattr(plain.Fd, &before), 0);
    }
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a fresh pty starts in canonical mode";
    {
        COM port;
        port.FLine.BaudRate = 9;
        ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
    } // the destructor closes
    TPlainFd plain(pty.SlavePath());
    ASSERT_GE(plain.Fd, 0);
    termios after{};
    ASSERT_EQ(tcgetattr(plain.Fd, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "local modes come back";
    EXPECT_EQ(after.c_iflag, before.c_iflag) << "input modes come back";
    EXPECT_EQ(after.c_cflag, before.c_cflag) << "control modes and speed come back";
}

TEST(ComOpen, PortHeldElsewhereIsBusy) {
    TPtyPair pty;
    test::TTempDir dir;
    const std::string link = dir.File("modem");
    ASSERT_EQ(symlink(pty.SlavePath().c_str(), link.c_str()), 0);

    COM owner;
    ASSERT_TRUE(owner.Open(link)) << "open through a link: " << owner.ErrorText();
    for (const std::string& name : {pty.SlavePath(), link}) {
        COM other;
        EXPECT_FALSE(other.Open(name)) << name << " is held by another port";
        EXPECT_EQ(other.LastError(), ComPortBusy) << name;
        EXPECT_EQ(other.ErrorText(), PortBusyText) << name;
    }
    ASSERT_TRUE(pty.Write("x"));
    EXPECT_EQ(owner.ReadChar(), 'x') << "the refused opens must leave the owner working";
    EXPECT_TRUE(owner.Close());

    {
        // A program that took the terminal for itself without a lock.
        TPlainFd plain(pty.SlavePath());
        ASSERT_EQ(ioctl(plain.Fd, TIOCEXCL), 0);
        COM other;
        EXPECT_FALSE(other.Open(pty.SlavePath())) << "exclusive terminal";
        EXPECT_EQ(other.LastError(), ComPortBusy) << "exclusive terminal";
        // A pty keeps the exclusive mark after the last close; real ports drop it.
        ASSERT_EQ(ioctl(plain.Fd, TIOCNXCL), 0);
    }
    COM next;
    EXPECT_TRUE(next.Open(pty.SlavePath()))
        << "free again after the owners left: " << next.ErrorText();
}

// The content of a lock file, or "" when there is none.
std::string LockFileText(const std::string& devicePath) {
    const std::string path =
        std::string(TPortLock::DefaultLockDir) + "/" + TPortLock::LockName(devicePath);
    TPlainFd fd(path);
    char text[64] = {};
    return fd.Fd >= 0 && read(fd.Fd, text, sizeof text - 1) > 0 ? text : "";
}

// A killed owner closes nothing and removes nothing: what it leaves must not keep the port
// from the next start, as root or as any other user. A lock file of a running program does.
TEST(ComOpen, AKilledOwnerLeavesThePortFree) {
    TPtyPair pty;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        COM owner;
        _exit(owner.Open(pty.SlavePath()) ? 0 : 1); // no Close(), as a kill
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the owner opened the port";
    EXPECT_EQ(std::stoi(LockFileText(pty.SlavePath())), child) << "the dead owner's lock file";
    {
        TPlainFd plain(pty.SlavePath());
        int exclusive = 1;
        ASSERT_EQ(ioctl(plain.Fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "an exclusive mark would keep every other user out for good";
    }
    COM next;
    ASSERT_TRUE(next.Open(pty.SlavePath()))
        << "stale lock taken over: " << next.ErrorText();
    EXPECT_EQ(std::stoi(LockFileText(pty.SlavePath())), getpid());
    EXPECT_TRUE(next.Close());
    EXPECT_EQ(LockFileText(pty.SlavePath()), "") << "a clean close removes the lock file";

    // A running program's lock (here the test runner's parent) keeps the port.
    const std::string lockPath =
        std::string(TPortLock::DefaultLockDir) + "/" + TPortLock::LockName(pty.SlavePath());
    {
        std::FILE* file = std::fopen(lockPath.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "%10d\n", static_cast<int>(getppid()));
        std::fclose(file);
    }
    COM other;
    EXPECT_FALSE(other.Open(pty.SlavePath()));
    EXPECT_EQ(other.LastError(), ComPortBusy);
    unlink(lockPath.c_str());
    EXPECT_EQ(TPortLock("/nonexistent/qvx-lock").Take(pty.SlavePath()),
              TPortLock::TResult::Unavailable)
        << "no lock folder: the flock alone guards the port";
}

TEST(ComOpen, OpenAndCloseAreIdempotent) {
    TPtyPair pty;
    COM port;
    ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
    const int fd = port.Fd();
    EXPECT_TRUE(port.Open("/nonexistent/qvx-port")) << "open port stays open";
    EXPECT_EQ(port.Fd(), fd) << "the handle must not change";
    EXPECT_EQ(port.LastError(), 0u);
    EXPECT_EQ(port.PortName(), "/nonexistent/qvx-port") << "the stored name changes";
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.Fd(), -1);
    EXPECT_TRUE(port.Close()) << "closing a closed port";
}

TEST(ComClosed, EveryOperationFailsQuietly) {
    COM port;
    char buffer[4] = {};
    EXPECT_EQ(port.InQueue(), 0);
    EXPECT_EQ(port.ModemStatus(), 0u);
    EXPECT_EQ(port.ReadChar(), '\0');
    EXPECT_FALSE(port.ReadByte(buffer));
    EXPECT_FALSE(port.Read(buffer, sizeof buffer));
    EXPECT_FALSE(port.Write("AT\r", 3));
    EXPECT_EQ(port.Written(), 0);
    EXPECT_FALSE(port.Transact("AT\r", 3, buffer, sizeof buffer, 10, true));
    EXPECT_FALSE(port.SetTimeout(100)) << "timeouts need an open port";
    port.SetDTR(true);
    port.PurgeAll();
    EXPECT_FALSE(port.HasErrors());
    EXPECT_TRUE(port.Close());
}

class ComTransfer : public testing::Test {
protected:
    void SetUp() override {
        Port.FLine.BaudRate = 11;
        ASSERT_TRUE(Port.Open(Pty.SlavePath())) << Port.ErrorText();
        Port.SetDTR(true); // refused by a pty, harmless
    }
    TPtyPair Pty;
    COM Port;
};

TEST_F(ComTransfer, BytesPassBothWaysUnchanged) {
    // NUL, 0xFF, CR, XON/XOFF and the bytes a cooked line would act on must all arrive.
    const std::string toPort("AT\r\n\0\x1A\xFF\x11\x13\x03\x04\x7F\x15 ok", 17);
    ASSERT_TRUE(Pty.Write(toPort));
    EXPECT_EQ(WaitInQueue(Port, int32_t(toPort.size())), int32_t(toPort.size()))
        << "InQueue counts the waiting bytes";
    std::string got(toPort.size(), '-');
    EXPECT_TRUE(Port.Read(got.data(), got.size())) << "read " << Port.ReadCount();
    EXPECT_EQ(test::HexOf(got), test::HexOf(toPort));
    EXPECT_EQ(Port.InQueue(), 0);

    const std::string fromPort("at+cmgs=23\r\x1A\0\xFF\n", 15);
    EXPECT_TRUE(Port.Write(fromPort.data(), fromPort.size()));
    EXPECT_EQ(Port.Written(), int32_t(fromPort.size()));
    EXPECT_EQ(test::HexOf(Pty.Read(fromPort.size(), 1000)), test::HexOf(fromPort));
    EXPECT_FALSE(Port.HasErrors()) << "errors " << Port.Errors();
}

TEST(ComTimeouts, IdleLineEndsAReadAfterTheTimeout) {
    TPtyPair pty;
    struct TCase {
        int32_t BaudRate;
        size_t Count;
        int64_t MinMs; // 100 ms plus the multiplier for every byte
    };
    const TCase cases[] = {{11, 1, 101}, {7, 1, 102}, {3, 10, 190}};
    for (const auto& c : cases) {
        COM port;
        port.FLine.BaudRate = c.BaudRate;
        ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
        char buffer[16] = {};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.Count == 1 ? port.ReadByte(buffer) : port.Read(buffer, c.Count));
        const int64_t elapsedMs = ElapsedMs(start);
        EXPECT_EQ(port.ReadCount(), 0);
        EXPECT_TRUE(port.Failed());
        EXPECT_GE(elapsedMs, c.MinMs) << BaudRates[c.BaudRate].Name << ": waits the timeout";
        EXPECT_LT(elapsedMs, c.MinMs + LateMs) << BaudRates[c.BaudRate].Name << ": not much longer";
        EXPECT_FALSE(port.HasErrors()) << "silence is no line error";
    }
}

TEST(ComTimeouts, ShortReadKeepsWhatArrived) {
    TPtyPair pty;
    COM port;
    port.FLine.BaudRate = 0; // 110 baud: 100 ms per byte, 50 bytes may take 5.1 s
    ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
    ASSERT_TRUE(pty.Write("abc"));
    WaitInQueue(port, 3);
    char buffer[50] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.Read(buffer, sizeof buffer));
    EXPECT_EQ(port.ReadCount(), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_LT(ElapsedMs(start), 100 + LateMs)
        << "a 100 ms gap after the last byte ends the read early";
}

TEST_F(ComTransfer, FullOutputTakesPartThenFails) {
    // Nobody reads the master side, so the pty fills up; a write that got some bytes out is
    // still a success.
    ASSERT_TRUE(Port.SetTimeout(20));  // keeps the waits for room short
    const std::string chunk(100, 'U'); // no divisor of the pty's buffer sizes
    int32_t partial = -1;
    for (int i = 0; i < 2000 && partial < 0; ++i) {
        ASSERT_TRUE(Port.Write(chunk.data(), chunk.size())) << "write " << i;
        if (Port.Written() < int32_t(chunk.size()))
            partial = Port.Written();
    }
    ASSERT_GE(partial, 0) << "the pty never filled up";
    // The pty's kernel worker may still move a few bytes on and make room once or twice.
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i)
        refused = !Port.Write(chunk.data(), chunk.size());
    EXPECT_TRUE(refused) << "nothing more fits";
    EXPECT_EQ(Port.Written(), 0);
    EXPECT_FALSE(Port.HasErrors()) << "a full buffer is no hang-up";
}

TEST_F(ComTransfer, TransactCollectsTheAnswer) {
    struct TCase {
        std::string Answer;
        size_t Expected;
        uint32_t LimitMs;
        bool Result;
        const char* Note;
    };
    const TCase cases[] = {
        // The limit only bounds the wait; a late modem thread must not cut the answer.
        {"\r\nOK\r\n", 6, 20000, true, "full answer"},
        {"OK", 6, 2000, false, "short answer ends at the limit"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Pty.Write("stale")); // purged before the command goes out
        ASSERT_EQ(WaitInQueue(Port, 5), 5);
        std::thread modem([&] {
            if (Pty.Read(3, 10000) == "AT\r")
                Pty.Write(c.Answer);
        });
        char in[8] = {};
        const bool result = Port.Transact("AT\r", 3, in, c.Expected, c.LimitMs, true);
        modem.join();
        EXPECT_EQ(result, c.Result) << c.Note;
        EXPECT_EQ(Port.ReadCount(), int32_t(c.Answer.size())) << c.Note;
        EXPECT_EQ(std::string(in, c.Answer.size()), c.Answer) << c.Note;
    }
}

TEST(ComUnplug, ReadEndsWhenTheDeviceVanishes) {
    COM port;
    {
        TPtyPair pty;
        ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
        ASSERT_TRUE(port.SetTimeout(5000));
        std::thread unplug([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pty.CloseMaster();
        });
        const auto start = std::chrono::steady_clock::now();
        char c = 0;
        const bool got = port.ReadByte(&c);
        const int64_t elapsedMs = ElapsedMs(start);
        unplug.join();
        EXPECT_FALSE(got);
        EXPECT_LT(elapsedMs, 2500) << "the hang-up, not the 5 s timeout, ends the read";
        EXPECT_TRUE(port.HasErrors()) << "the terminal thread must see the port is gone";
        EXPECT_EQ(port.InQueue(), 0);
        EXPECT_TRUE(port.HasErrors()) << "the hang-up stays until the port closes";
        EXPECT_FALSE(port.Write("AT\r", 3)) << "writing to a vanished device";
        EXPECT_TRUE(port.Close());
    }
    TPtyPair replugged;
    ASSERT_TRUE(port.Open(replugged.SlavePath())) << port.ErrorText();
    EXPECT_EQ(port.InQueue(), 0);
    EXPECT_FALSE(port.HasErrors()) << "a new open starts clean";
    ASSERT_TRUE(replugged.Write("OK"));
    char answer[2] = {};
    EXPECT_TRUE(port.Read(answer, 2));
    EXPECT_EQ(std::string(answer, 2), "OK");
}

TEST(ComUnplug, IdlePortNoticesTheHangUp) {
    TPtyPair pty;
    COM port;
    ASSERT_TRUE(port.Open(pty.SlavePath())) << port.ErrorText();
    EXPECT_EQ(port.InQueue(), 0);
    EXPECT_FALSE(port.HasErrors());
    pty.CloseMaster();
    EXPECT_EQ(port.InQueue(), 0);
    EXPECT_TRUE(port.HasErrors()) << "InQueue alone must reveal the hang-up";
    const auto start = std::chrono::steady_clock::now();
    char buffer[16];
    EXPECT_FALSE(port.Transact("AT\r", 3, buffer, sizeof buffer, 3000, false));
    EXPECT_LT(ElapsedMs(start), 1000) << "a transaction on a vanished device ends at once";
}

} // namespace
} // namespace qvx
