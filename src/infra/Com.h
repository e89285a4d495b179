// The serial port of the GSM terminal over POSIX termios: opened by name with a baud rate,
// parity, stop bits and optional RTS/CTS chosen by index, 8 data bits, reads and writes
// bounded by timeouts. Operations return bool and keep the reason in FLastError (an errno,
// or 2, 5, 123 and 87 for the failures the terminal log names). Used by the terminal thread.
#pragma once

#include "infra/Deadline.h"
#include "infra/PortLock.h"
#include "infra/TerminalSettings.h"
#include "infra/UniqueFd.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qvx {

// Error codes that the terminal log shows with fixed texts.
constexpr uint32_t ComNoSuchPort = 2; // "Указанный порт отствует в системе"
constexpr uint32_t ComPortBusy = 5; // "Указанный порт занят другим приложением"
constexpr uint32_t ComBadName = 123;    // "Неверное имя COM порта"
constexpr uint32_t ComBadSettings = 87; // settings the device cannot take

// Line error flags kept by ClearError(); HasErrors() tests ComErrorMask. A failed
// ClearError() sets every bit, a vanished device sets ComErrIo.
constexpr uint32_t ComErrRxOver = 0x0001;   // input buffer overrun
constexpr uint32_t ComErrOverrun = 0x0002;  // character lost by the UART
constexpr uint32_t ComErrRxParity = 0x0004; // parity error
constexpr uint32_t ComErrFrame = 0x0008;    // framing error
constexpr uint32_t ComErrBreak = 0x0010;    // break received
constexpr uint32_t ComErrTxFull = 0x0100;   // output buffer full
constexpr uint32_t ComErrIo = 0x0400;       // device I/O error: hung up or gone
constexpr uint32_t ComErrorMask = 0x051F;

// ModemStatus() bits.
constexpr uint32_t ComCtsOn = 0x0010;
constexpr uint32_t ComDsrOn = 0x0020;
constexpr uint32_t ComRingOn = 0x0040;
constexpr uint32_t ComRlsdOn = 0x0080; // carrier detect

// The line error flags of the driver's error counters that moved since last, which becomes
// now: a glitch is reported by the check that first sees it, and by no later one.
uint32_t CounterErrors(std::array<int64_t, 5>& last, const std::array<int64_t, 5>& now) noexcept;

class COM {
public:
    COM();
    virtual ~COM();
    COM(const COM&) = delete;
    COM& operator=(const COM&) = delete;

    virtual bool IsOpen() const;
    virtual bool Open();                         // Open(FName)
    bool Open(const std::string& name) noexcept; // a port name, mapped by DevicePath()
    virtual bool Close();
    virtual bool SetTimeout(int32_t ms);
    virtual bool WriteByte(char c);
    virtual bool Write(const void* data, size_t count);
    virtual bool ReadByte(char* c);
    virtual bool ReadByte(char& c);
    virtual bool Read(void* data, size_t count);
    virtual char ReadChar();
    // One read() of at most count bytes without waiting: the bytes the driver holds, 0 when
    // none are waiting. A hang-up or line error shows in HasErrors() and Failed() is set only
    // when the read itself failed; nothing else is asked of the driver.
    size_t ReadAvailable(void* data, size_t count) noexcept;
    virtual int32_t InQueue(); // bytes waiting; refreshes the error flags
    virtual uint32_t ModemStatus();
    virtual void ClearError();
    bool Transact(const void* out, size_t outCount, void* in, size_t inCount, uint32_t limitMs,
                  bool purgeFirst) noexcept;

    std::string PortName() const noexcept; // the name given to Open() or SetPortNumber()
    int32_t PortNumber() const { return FNumber; }
    uint32_t LastError() const { return FLastError; }
    std::string ErrorText() const noexcept; // cp1251
    void SetPortNumber(int32_t index) noexcept;
    bool ApplyTimeouts() noexcept;
    void SetDTR(bool on) noexcept;
    void SetRTS(bool on) noexcept;
    bool HasErrors() const noexcept; // a line error, or the device vanished
    // The device hung up or went away: the last transfer or InQueue() saw it.
    bool HungUp() const noexcept { return FHungUp; }
    void PurgeAll() noexcept;
    // The open descriptor (-1 when closed), for poll() together with a stop descriptor.
    int Fd() const { return FHandle.Get(); }
    // Device path that a port name opens: COMn -> /dev/ttyS(n-1), /abs/path as is, X -> /dev/X.
    // Empty for a name that cannot be a port (empty, COM0, an embedded NUL).
    static std::string DevicePath(const std::string& portName) noexcept;

    // Outcome of the last transfer.
    int32_t Written() const noexcept { return FWritten; }
    int32_t ReadCount() const noexcept { return FRead; }
    bool Failed() const noexcept { return FFailed; }
    uint32_t Errors() const noexcept { return FErrors; }

    // Line speed through the kernel's termios2 (any rate, 56000 included); these live in a
    // source file of their own because <asm/termbits.h> cannot meet <termios.h>.
    // SetLineSpeed returns 0 or the errno; LineSpeed returns the output rate or -1.
    static int SetLineSpeed(int fd, int32_t baud) noexcept;
    static int32_t LineSpeed(int fd) noexcept;

    // Speed, parity, stop bits and handshake, taken when the port opens.
    TLineSettings FLine;

protected:
    std::string FName;
    int32_t FNumber = 1;
    uint32_t FLastError = 0;
    TUniqueFd FHandle;
    int32_t FWritten = 0;
    int32_t FRead = 0;
    bool FDtr = false;
    bool FRts = false;
    bool FFailed = false;
    uint32_t FErrors = 0;
    int32_t FTimeoutMs = 100;

private:
    // Settings found on the line at open, put back at close (defined in Com.cpp).
    struct TSavedLine;
    // Timeouts of the open port, from ApplyTimeouts().
    struct TTimeouts {
        int64_t ReadIntervalMs = 0;
        int64_t ReadMultiplierMs = 0;
        int64_t ReadConstantMs = 0;
        int64_t WriteMultiplierMs = 0;
        int64_t WriteConstantMs = 0;
    };

    bool OpenDevice(const std::string& path) noexcept;
    bool ConfigureLine() noexcept;
    bool ReadLineCounters(std::array<int64_t, 5>& counters) const noexcept;
    uint32_t LineErrors() noexcept;
    size_t WriteBlock(const void* data, size_t count) noexcept;
    size_t ReadBlock(void* data, size_t count) noexcept;
    bool WaitReady(short events, TClock::time_point deadline) noexcept;
    void SetModemLine(int line, bool on) noexcept;

    std::unique_ptr<TSavedLine> FSaved;
    // The lock file of the open port (LCK..<device>).
    TPortLock FLock;
    TTimeouts FTimeouts;
    int32_t FInQue = 0;
    // The device hung up or vanished; stays set until Close().
    bool FHungUp = false;
    // Error counters of the driver at the last check (overrun, parity, frame, break, buffer
    // overrun).
    std::array<int64_t, 5> FLineCounters{};
    bool FLineCountersKnown = false;
};

} // namespace qvx
