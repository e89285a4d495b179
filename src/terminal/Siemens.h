// TSiemens, the GSM terminal driver: a thread of its own that owns the serial port, brings
// the terminal up with AT commands, submits queued messages in PDU mode, lists and deletes
// received messages and watches unsolicited results. Other threads use only QueueSMS,
// QueueAnswers, TakeOutcomes, ReceivedSMSCount, GetReceivedSMS, GetState, StateSince, Network
// and the queue counts; everything else runs on the terminal thread (public so that tests can
// drive single steps on a stopped object). The outcome of every queued message goes back
// through TakeOutcomes.
#pragma once

#include "infra/Com.h"
#include "infra/Queues.h"
#include "infra/Thread.h"
#include "terminal/HandledEntries.h"
#include "terminal/NetworkStatus.h"
#include "terminal/PortReader.h"
#include "terminal/ReplyFraming.h"
#include "terminal/ResultCodes.h"
#include "terminal/SimLock.h"
#include "terminal/Unsolicited.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

enum class TTerminalState : int32_t {
    Created = 0,
    Opening = 1,
    Initializing = 2,
    Working = 3,
    Stopped = 4,
};

// What the owner says of a message that has reached the head of the queue.
enum class TSendVerdict : int32_t {
    Send = 0,
    Return = 1, // not now: it leaves the queue unsent and a later pass brings it again
    GiveUp = 2, // never: it leaves the queue unsent for good
};

class TSiemens : public TThread {
public:
    // Longest answer of one exchange, in characters.
    static constexpr size_t AnswerMax = 5000;
    // Longest listing reply, in characters (one less fits); a longer one is cut and its rest,
    // up to ListingDrainMax bytes, dropped.
    static constexpr size_t ListingMax = 15000;
    static constexpr size_t ListingDrainMax = 16 * ListingMax;
    // Shortest wait for the answer to a deletion.
    static constexpr int32_t DeleteWaitMinMs = 1000;
    // Bound of the saved unsolicited bytes, and how long a RING waits for its +CLIP.
    static constexpr size_t SavedMax = 16 * 1024;
    static constexpr uint32_t RingWaitMs = 10000;
    // Refusals by the network ("+CMS ERROR") after which a message is given up.
    static constexpr int32_t RefusalsToGiveUp = 3;

    TSiemens(std::string portName, std::string logFileName);
    ~TSiemens() override; // the owner calls Terminate() and WaitFor() first

    // --- for the worker thread ---
    bool QueueSMS(const TSMS& sms);
    // Queues the messages, in order, before everything but the message in submission.
    void QueueAnswers(const std::vector<TSMS>& answers) { FOutgoing.PushFront(answers); }
    // Moves the outcomes reported so far to the end of list; false when there was none.
    bool TakeOutcomes(std::vector<TOutcome>& list) { return FOutcomes.TakeAll(list); }
    int32_t ReceivedSMSCount() const { return FIncoming.Count(); }
    bool GetReceivedSMS(TSMS& sms) { return FIncoming.Pop(sms); }
    int32_t GetState() const { return FState.load(std::memory_order_acquire); }
    // Wall-clock seconds since which the state holds.
    int64_t StateSince() const { return FStateSince.load(std::memory_order_acquire); }
    // The last registration and signal the terminal reported.
    TNetworkStatus Network() const;
    // Why the initialisation waits without sending a PIN (TPinWait), 0 when it does not.
    int32_t GetPinWait() const { return FPinWait.load(std::memory_order_acquire); }
    int32_t OutgoingCount() const { return FOutgoing.Count(); }

    // --- settings, written by the owner before Start() ---
    // The line, the answer timeout and the PIN: TConfig::TerminalSettings() for the service.
    TTerminalSettings FSettings;
    bool FClip = false;
    bool FLogExchange = false;
    // A PIN the SIM refused: never sent again. The owner may set it before Start() and read it
    // after WaitFor(), so that a reload with the same PIN does not try it once more.
    std::string FRefusedPin;
    // Pause between opening and initialising attempts and between SIM-busy answers, and the
    // pause between working passes; tests shorten them.
    uint32_t FRetryPauseMs = 1000;
    uint32_t FPassPauseMs = 50;
    // How often the working loop asks for the registration and the signal (FTickSource ms).
    uint32_t FNetworkPeriodMs = 60000;
    // Millisecond ticks that age a RING waiting for its caller line; tests move it by hand.
    std::function<uint32_t()> FTickSource = GetTickCount;
    // Called on the terminal thread after each outcome is queued, so the owner can wake up.
    std::function<void()> FOnOutcome;
    // Asked on the terminal thread before each message is submitted; a message the verdict
    // holds back leaves the queue with the verdict's reason. Empty: every message is sent.
    std::function<TSendVerdict(const TSMS&, std::string& reason)> FSendCheck;

    // --- terminal thread: main loop (thread and loop) ---
    bool OpenPort();
    void ClosePort();
    // One working pass: send at most one message, receive, check unsolicited text.
    // Returns true when the terminal must be re-initialised.
    bool WorkingPass();

    // --- terminal thread: AT exchange ---
    bool SendCommand(const std::string& command, std::string& answer, bool log,
                     const std::string& expected, int32_t timeoutMs);
    bool SendString(const std::string& text, bool log);
    // Waits in whole seconds: timeoutMs is cut down to a multiple of 1000.
    bool WaitAnswer(const std::string& success, const std::string& failure, int32_t timeoutMs,
                    std::string* answer, bool log);
    bool FlushSave();
    void Pause(uint32_t ms);
    void LogMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // --- terminal thread: initialisation, submission, reception, unsolicited results ---
    bool InitTerminal();
    // On success FReferences holds the +CMGS reference of every part (-1 where the terminal
    // gave none); a "+CMS ERROR" answer leaves its line in FRefusal.
    bool SendSMS(const std::string& digits, const std::string& text, bool flash);
    bool ReceiveSMS();
    bool CheckForRing();
    // Asks for the registration and the signal and keeps what the answers say; logs a change
    // of the registration. Nothing else depends on the answers.
    void QueryNetwork();

    COM FComPort;
    TSMSStack FOutgoing;
    TSMSStack FIncoming;
    TRingStack FRings;
    int32_t FErrorCode = 0;
    std::string FSaved;
    // Remembers how long a RING has waited for its caller line.
    TUnsolicitedScanner FScanner{RingWaitMs};
    uint8_t FConcatRef = 0; // reference of the next concatenated message
    TOutcomeQueue FOutcomes;
    std::vector<int32_t> FReferences;
    std::string FRefusal;
    // The message the network refused last, and how many times in a row.
    TSMS FRefused;
    int32_t FRefusalCount = 0;
    // Entries handed over whose deletion failed. The owner may set it before Start() and read
    // it after WaitFor(), to carry it to the next terminal object.
    THandledEntries FHandled;

protected:
    void Execute() override;

private:
    void SetState(TTerminalState state) {
        FStateSince.store(std::time(nullptr), std::memory_order_release);
        FState.store(static_cast<int32_t>(state), std::memory_order_release);
    }
    // Main loop steps: opening and initialising repeat until they succeed or a stop comes
    // (initialising returns true when the port went away and must be opened again); the send
    // step sets reinitialise when the failure points to the terminal.
    void OpenLoop();
    bool InitLoop();
    // While a retry repeats the previous failure, the lines an attempt logs are held back and
    // written only when its outcome is news: a success or a different failure.
    void HoldLog(bool hold) { FHoldLog = hold; }
    void ReleaseHeldLog(bool write);
    void LogLines(const std::vector<std::string>& lines);
    bool FHoldLog = false;
    std::vector<std::string> FHeldLog;
    void SendFirstQueued(bool& reinitialise);
    // Asks FSendCheck about the head; false when the message left the queue unsent.
    bool StillDue(const TSMS& sms);
    // After a failed submission: true when the failure was the message's own and it left the
    // queue; false when it stays first and the terminal must be initialised again.
    bool GiveUpAfterFailure(const TSMS& sms);
    void GiveUp(const TSMS& sms, int32_t code, std::string reason);
    void Report(TOutcome outcome);
    // Reads the rest of a "+CMS ERROR" line found in answer into FRefusal.
    void NoteRefusal(const std::string& answer);
    // True right after an initialisation and then once every FNetworkPeriodMs.
    bool NetworkQueryDue() const;
    // One query; true when the answer ended in OK.
    bool AskNetwork(const std::string& command, std::string& answer);
    void KeepRegistration(int32_t registration);
    void KeepSignal(int32_t rssi);

    // The reading halves of SendCommand and WaitAnswer; answer collects what arrived.
    bool ReadCommandAnswer(std::string& answer, const std::string& expected, uint32_t timeoutMs);
    bool ReadUntilMarker(std::string& answer, const std::string& success,
                         const std::string& failure, uint32_t timeoutMs);
    bool ReadFramedAnswer(const TPortReader::TFramer& framer, uint32_t timeoutMs,
                          std::string& answer);
    // One at+cmgs dialogue for one PDU; sets FErrorCode on failure.
    bool SubmitPart(const std::string& pduHex, int32_t commandLength);
    // Reads the at+cmgl reply; sets FErrorCode and returns false on failure. cut: the reply
    // holds only the lines before the listing bound.
    bool ReadListing(std::string& reply, bool& cut);
    bool DrainListing();
    bool UnendedListing(const std::string& reply);
    bool TakeEntry(const TListingEntry& entry);
    void HandOver(const TListingEntry& entry, const std::string& pdu);
    enum class TDeletion { Deleted, Refused, Failed };
    TDeletion DeleteEntry(int32_t index, bool logRefusal);
    // Steps of InitTerminal; false with FErrorCode set when the initialisation fails.
    bool RegisterPin();
    bool WaitWithoutPin(TPinWait wait);
    void SetPinWait(TPinWait wait) {
        FPinWait.store(static_cast<int32_t>(wait), std::memory_order_release);
    }
    bool QuerySmsCentre();

    std::string FPortName;
    std::string FLogFileName;
    std::atomic<int32_t> FState{0};
    std::atomic<int32_t> FPinWait{0};
    // Input of FComPort not yet taken by the exchange; emptied whenever the port opens or
    // closes, as the port's own queue is.
    TPortReader FReader{FComPort, *this};
    std::atomic<int64_t> FStateSince{std::time(nullptr)};
    // Network queries: when the last one ran, and the registration the log shows last.
    bool FNetworkQueried = false;
    uint32_t FNetworkQueriedTick = 0;
    int32_t FLoggedRegistration = static_cast<int32_t>(TRegistration::Unknown);
    mutable std::mutex FNetworkLock;
    TNetworkStatus FNetwork;
};

} // namespace qvx
