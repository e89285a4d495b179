// The serial port of the GSM terminal over POSIX termios: opened by name with a baud rate,
// parity, stop bits and optional RTS/CTS chosen by index, 8 data bits, reads and writes
// bounded by timeouts. Operations return bool and keep the reason in FLastError (an errno,
// or 2, 5, 123 and 87 for the failures the terminal log names). Used by the terminal thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qvx {

struct TBaudRate {
    int32_t Baud;
    const char* Name;
    int32_t TimeoutMultiplierMs; // per byte
};
constexpr std::array<TBaudRate, 12> BaudRates = {{{110, "110", 100},
                                                  {300, "300", 35},
                                                  {600, "600", 18},
                                                  {1200, "1200", 9},
                                                  {2400, "2400", 5},
                                                  {4800, "4800", 3},
                                                  {9600, "9600", 2},
                                                  {19200, "19200", 2},
                                                  {38400, "38400", 1},
                                                  {56000, "56000", 1},
                                                  {57600, "57600", 1},
                                                  {115200, "115200", 1}}};
constexpr std::array<const char*, 3> StopBitsNames = {"1", "1.5", "2"};
constexpr std::array<const char*, 5> ParityNames = {"нет", "нечет", "чет", "маркер (1)",
                                                    "пробел (0)"};

// Error codes that the terminal log shows with fixed texts.
constexpr uint32_t ComNoSuchPort = 2;     // "Указанный порт отствует в системе"
constexpr uint32_t ComPortBusy = 5;       // "Указанный порт занят другим приложением"
constexpr uint32_t ComBadName = 123;      // "Неверное имя COM порта"
constexpr uint32_t ComBadSettings = 87;   // settings the device cannot take

class COM {
public:
    static constexpr const char* DevicePrefix = "\\\\.\\";

    COM();
    virtual ~COM();
    COM(const COM&) = delete;
    COM& operator=(const COM&) = delete;

    virtual bool IsOpen() const;
    virtual bool Open();                // Open(FName)
    bool Open(const std::string& name); // "\\.\" + device; see the header comment
    virtual bool Close();
    virtual bool SetTimeout(int32_t ms);
    virtual bool WriteByte(char c);
    virtual bool Write(const void* data, size_t count);
    virtual bool ReadByte(char* c);
    virtual bool ReadByte(char& c);
    virtual bool Read(void* data, size_t count);
    virtual char ReadChar();
    virtual int32_t InQueue(); // bytes waiting; refreshes the error flags
    virtual uint32_t ModemStatus();
    virtual void ClearError();
    bool Transact(const void* out, size_t outCount, void* in, size_t inCount, uint32_t limitMs,
                  bool purgeFirst);

    std::string PortName() const; // FName without the "\\.\" prefix
    int32_t PortNumber() const { return FNumber; }
    uint32_t LastError() const { return FLastError; }
    std::string ErrorText() const; // cp1251
    void SetPortNumber(int32_t index);
    bool ApplyTimeouts();
    void SetDTR(bool on);
    void SetRTS(bool on);
    bool HasErrors() const; // a line error, or the device vanished
    void PurgeAll();
    // The open descriptor (-1 when closed), for poll() together with a stop descriptor.
    int Fd() const { return FHandle; }
    // Device path that a port name opens: COMn -> /dev/ttyS(n-1), /abs/path as is, X -> /dev/X.
    static std::string DevicePath(const std::string& portName);

    int32_t FBaudRate = 7; // index into BaudRates
    int32_t FParity = 0;   // index into ParityNames
    int32_t FStopBits = 2; // index into StopBitsNames
    bool FRtsCts = false;

protected:
    std::string FName;
    int32_t FNumber = 1;
    uint32_t FLastError = 0;
    int FHandle = -1;
    int32_t FWritten = 0;
    int32_t FRead = 0;
    bool FDtr = false;
    bool FRts = false;
    bool FFailed = false;
    uint32_t FErrors = 0;
    int32_t FTimeout = 100;
};

} // namespace qvx
