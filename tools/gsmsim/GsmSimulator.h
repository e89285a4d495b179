// TGsmSimulator: a scripted GSM terminal on a pseudo-terminal, for tests, benchmarks, the demo
// and operators without hardware. It owns the master side and one thread that answers the AT
// dialogue (TModemDialogue) and writes the answers, delayed or throttled to a baud rate when
// asked; the driver opens the slave (or a link that always points to it) as its serial port.
// Every other method may be called from any thread: the state is guarded by one mutex.
#pragma once

#include "gsmsim/ModemDialogue.h"
#include "gsmsim/Pty.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qvx {

class TGsmSimulator {
public:
    using TClock = std::chrono::steady_clock;
    // Output waiting for a reader is cut off beyond this many bytes.
    static constexpr size_t OutputMax = 1 << 20;

    TGsmSimulator();
    ~TGsmSimulator(); // stops the thread and removes the link
    TGsmSimulator(const TGsmSimulator&) = delete;
    TGsmSimulator& operator=(const TGsmSimulator&) = delete;

    // A symlink kept pointing to the current slave, and removed while unplugged; set before
    // Start(). Its directory must exist.
    void SetLinkPath(std::string path);
    // Creates the pty (and the link) and starts the thread; false with LastError().
    bool Start();
    void Stop();
    std::string SlavePath() const; // empty while unplugged
    std::string LinkPath() const;
    std::string LastError() const;

    // Closes the master: the driver's port reads a hang-up; the link disappears.
    bool Unplug();
    // A new pty under the same link, with the terminal in its power-on state.
    bool Plug();
    bool Plugged() const;

    // --- behaviour of the terminal ---
    void SetPin(std::string pin);
    // The number at+ccid answers: another SIM in the same terminal.
    void SetIccid(std::string iccid);
    // The number at+cimi answers (the SIM's IMSI); empty: at+cimi answers ERROR.
    void SetImsi(std::string imsi);
    void SetSimBusyCount(int32_t count);
    // The next count PINs (at+cpin=) are taken or refused without an answer.
    void SetPinAnswersLost(int32_t count);
    // <stat> that at+creg? reports and <rssi> that at+csq reports; negative: ERROR.
    void SetRegistration(int32_t registration);
    void SetSignalRssi(int32_t rssi);
    // count: how many submissions get this reply before it returns to Ok; 0 for all.
    void SetSubmitReply(TSubmitReply reply, int32_t count = 0, int32_t cmsError = 500);
    void SetDeleteFails(bool fails);
    // Submissions to these digits get "+CMS ERROR: cmsError"; 0 takes the number back.
    void SetRefusedNumber(const std::string& digits, int32_t cmsError);
    // at+cmgd of this index answers +CMS ERROR cmsError and deletes nothing; 0 deletes again.
    void SetDeleteError(int32_t index, int32_t cmsError);
    int32_t PinAttemptsLeft() const;
    void SetSilent(bool silent); // a hung terminal: lines recorded, nothing answered
    void SetAnswerDelayMs(uint32_t delayMs);
    void SetBaudRate(int32_t baud);        // output at baud / 10 bytes a second; 0: at once
    void SetEndless(bool endless);         // keep sending bytes that never end an answer
    void SetListingPadBytes(size_t bytes); // at+cmgl answers this many bytes of filler first
    // Bytes every at+cmgl answer sends behind its entries, before its OK: a call or a USSD
    // result arriving while the terminal lists. Empty: none.
    void SetListingInterjection(std::string bytes);
    // Bytes sent in front of the answer to every submitted PDU: an unsolicited line meanwhile.
    void SetSubmitInterjection(std::string bytes);
    // Bytes sent in front of every "> " prompt.
    void SetPromptInterjection(std::string bytes);
    // The network acknowledges the next count accepted PDUs (0: every one) delayMs late. Like a
    // terminal still waiting for the network, the simulator answers nothing meanwhile: what
    // the driver sends is answered in order once the acknowledgement has gone out.
    void SetNetworkDelayMs(uint32_t delayMs, int32_t count = 0);
    void SetStrictLength(bool strict);
    // A terminal in text mode now and after every power-on (another program left it so), and
    // one that refuses at+cmgf=0.
    void SetTextMode(bool textMode);
    void SetPduModeRefused(bool refused);
    bool TextMode() const;
    void SetStoreCapacity(int32_t capacity);

    // --- unsolicited output ---
    void InjectLine(std::string_view text); // sent as CR LF text CR LF
    void InjectBytes(std::string_view bytes);

    // --- the SIM store ---
    std::vector<int32_t> StoreText(std::string_view number, std::string_view utf8Text,
                                   bool concatenate = true);
    int32_t StorePdu(std::string_view hex);
    std::vector<TStoredSms> Stored() const;
    size_t StoredCount() const;
    void ClearStored();

    // --- what the driver did ---
    std::vector<TSubmittedSms> Submitted() const;
    size_t SubmittedCount() const;
    void ClearSubmitted();
    // True once count submissions (accepted or refused) are recorded; false after timeoutMs.
    bool WaitForSubmitted(size_t count, uint32_t timeoutMs);
    // True once the acknowledgement of submission serial went out whole on the line.
    bool WaitForAcknowledged(uint64_t serial, uint32_t timeoutMs);
    int32_t CommandCount(const std::string& head) const;
    bool WaitForCommandCount(const std::string& head, int32_t count, uint32_t timeoutMs);
    std::vector<std::string> CommandLog() const;
    std::vector<int32_t> DeletedIndexes() const;
    bool EchoOn() const;
    uint64_t BytesSent() const;
    // Called on the simulator's thread, without its lock, for each PDU as it is recorded.
    void SetSubmittedHandler(std::function<void(const TSubmittedSms&)> handler);

private:
    enum class TRequest : int32_t { None = 0, Plug = 1, Unplug = 2 };
    struct TOutChunk {
        std::string Bytes;
        TClock::time_point NotBefore;
        uint64_t Acknowledges = 0; // see TModemOutput
    };

    void Run() noexcept;
    void Wake() noexcept;
    bool Request(TRequest request);
    void ServeRequest();
    bool DoPlug();
    void DoUnplug();
    bool PointLink(const std::string& slave);
    void ReadInput();
    // Writes what is due; sets timeoutMs to the wait until the next byte is due (-1: none).
    void FlushOutput(int& timeoutMs);
    bool NextChunk(std::string& chunk, int& timeoutMs);
    void Written(size_t count, TClock::time_point now);
    void QueueLocked(std::string_view bytes, TClock::time_point notBefore,
                     uint64_t acknowledges = 0);

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    TModemDialogue FDialogue;
    std::deque<TOutChunk> FOut;
    size_t FOutBytes = 0;
    size_t FHeadSent = 0;
    uint64_t FBytesSent = 0;
    uint32_t FAnswerDelayMs = 0;
    int32_t FBaudRate = 0;
    bool FEndless = false;
    std::string FLinkPath;
    std::string FSlavePath;
    std::string FLastError;
    std::function<void(const TSubmittedSms&)> FOnSubmitted;
    TRequest FRequest = TRequest::None;
    uint64_t FRequestSerial = 0;
    uint64_t FDoneSerial = 0;
    bool FRequestResult = false;

    // owned by the thread while it runs
    TPty FPty;
    bool FWantWrite = false;
    TClock::time_point FLineFreeAt;

    std::atomic<bool> FRunning{false};
    std::atomic<bool> FStopping{false};
    int FWakeFd = -1;
    std::thread FThread;
};

} // namespace qvx
