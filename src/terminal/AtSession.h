// TAtSession, the AT dialogue with one GSM terminal: it owns the serial port and what the
// dialogue keeps between commands (the port reader's buffered input, the saved unsolicited
// text, the concatenation reference, the entries whose deletion failed), and each operation
// returns what it found. Single-threaded: the terminal thread runs one, and `--check` runs one
// with no thread at all. A wait ends early when the owner thread, if any, is told to stop.
#pragma once

#include "infra/Com.h"
#include "infra/Queues.h"
#include "infra/TerminalSettings.h"
#include "infra/Thread.h"
#include "terminal/HandledEntries.h"
#include "terminal/NetworkStatus.h"
#include "terminal/Pdu.h"
#include "terminal/PortReader.h"
#include "terminal/ResultCodes.h"
#include "terminal/SimLock.h"
#include "terminal/Unsolicited.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qvx {

struct TAtSessionOptions {
    // The port name as configured (COM1, ttyUSB0 or a path) and the terminal log.
    std::string Device;
    std::string LogFileName;
    // The line, the answer timeout and the PIN: TConfig::TerminalSettings() for the service.
    TTerminalSettings Settings;
    bool Clip = false;
    bool LogExchange = false;
    // Pause between SIM-busy answers, and the pause taken while a listing's answer arrives.
    uint32_t RetryPauseMs = 1000;
    uint32_t PassPauseMs = 50;
    // Millisecond ticks that age a RING waiting for its caller line.
    std::function<uint32_t()> TickSource = GetTickCount;
    // Carried over from the previous session: a PIN the SIM refused is never sent again, and
    // the entries whose deletion failed are deleted without a second hand-over.
    std::string RefusedPin;
    THandledEntries Handled;
    // With HoldUntilConfirmed, a received text stays on the SIM until the owner confirms it
    // (moves it from Awaiting to Confirmed): a kill then loses nothing the owner has not made
    // safe. Both sets travel from one terminal object to the next like Handled. Without it
    // (a session used alone) an entry is deleted as soon as it is handed over.
    bool HoldUntilConfirmed = false;
    THandledEntries Awaiting;
    THandledEntries Confirmed;
    // Initialisation asks the SIM's IMSI (at+cimi), which keys the SIM's daily count.
    bool QueryImsi = false;
    // Initialisation asks the SIM's ICCID (at+ccid), which keys the entries kept for the SIM
    // across a restart: once it knows the SIM, the entries kept for it join Handled, and
    // Handled kept for another SIM (HandledSim) is dropped. A SIM that does not tell its ICCID
    // is UnnamedSim ("terminal:<Number>"); the entries kept under it are taken up whatever SIM
    // the terminal holds, since nothing tells its SIMs apart, and only an entry listed with the
    // same index and PDU is ever touched by them.
    bool QueryIccid = false;
    std::map<std::string, THandledEntries> KeptEntries;
    std::string UnnamedSim;
    std::string HandledSim;
    // The reference of the next concatenated message.
    uint8_t ConcatRef = 0;
    // The owner's memory of PIN attempts across restarts, called on the session's thread.
    // PinAttempt(iccid, pin) before a PIN goes out: it records the attempt first, so that a
    // kill during the exchange still counts it, and says whether the PIN may go (TPinPermit).
    // PinVerdict(iccid, pin, accepted) when the SIM took the PIN or refused it, and (accepted,
    // pin empty) when a SIM it can name was found ready: its count starts afresh. iccid is
    // empty when the terminal does not tell it.
    std::function<TPinPermit(const std::string& iccid, const std::string& pin)> PinAttempt;
    std::function<void(const std::string& iccid, const std::string& pin, bool accepted)> PinVerdict;
};

// Why a port did not open, for the log and the check.
struct TPortFailure {
    std::string Name;
    uint32_t Code = 0;
    std::string Text;
};

// One submission: the +CMGS reference of every part (-1 where the terminal gave none), or
// the failure, with the rest of a "+CMS ERROR" line when the network refused the message.
struct TSubmitResult {
    TGsmResult Code = TGsmResult::OK;
    std::vector<int32_t> References;
    std::string Refusal;
    // The caller stopped it at a part's prompt (the entry cancelled, nothing written for that
    // part); References holds the parts that went.
    bool Stopped = false;
    // The PDU of a part went out (at WrittenTick, TickSource) and no final result came for
    // it: the network may have the message. References holds the parts before it.
    bool Unanswered = false;
    uint32_t WrittenTick = 0;
};

// How the answer to a submitted PDU ended.
enum class TFinalResult {
    Ok,    // a final "OK" line
    Error, // an error line: the terminal or the network refused the PDU
    None,  // no final line within the wait (silence, a hang-up, an endless answer)
};

// One listing pass: the received texts handed over, also when a later step failed.
struct TReceiveResult {
    TGsmResult Code = TGsmResult::OK;
    std::vector<TSMS> Messages;
};

class TAtSession {
public:
    // Longest answer of one exchange, in characters.
    static constexpr size_t AnswerMax = 5000;
    // The longest wait for the network's answer to one part; a stop hears it out as well.
    static constexpr std::chrono::seconds FrameWait{30};
    // Longest listing reply, in characters (one less fits); a longer one is cut and its rest,
    // up to ListingDrainMax bytes, dropped.
    static constexpr size_t ListingMax = 15000;
    static constexpr size_t ListingDrainMax = 16 * ListingMax;
    // Shortest wait for the answer to a deletion.
    static constexpr int32_t DeleteWaitMinMs = 1000;
    // Bound of the saved unsolicited bytes, and how long a RING waits for its +CLIP.
    static constexpr size_t SavedMax = 16 * 1024;
    static constexpr uint32_t RingWaitMs = 10000;

    // owner: the thread whose stop ends every wait; nullptr when no thread runs the session.
    TAtSession(TAtSessionOptions options, TThread* owner);
    ~TAtSession() { Close(); }
    TAtSession(const TAtSession&) = delete;
    TAtSession& operator=(const TAtSession&) = delete;

    // Logs the line settings and opens the port; nullopt when it opened.
    std::optional<TPortFailure> Open();
    void Close();
    // Refreshes the port's error flags: true once the device hung up or the line failed.
    bool PortBroken();

    // Brings the terminal up; OK, or why not.
    TGsmResult Initialise();
    // Submits the prepared parts of one message, each with a reference of its own stamped in.
    // mayWrite, when given, is asked after each part's prompt, just before its PDU is written:
    // false stops the message there.
    TSubmitResult Submit(const TPreparedSms& sms, const std::function<bool()>& mayWrite = {});
    TReceiveResult Receive();
    // A pass of a terminal that does not list its SIM: the pause a listing would take, and
    // whatever arrived meanwhile saved for NextUnsolicited(); PortNotReady once the port is
    // gone, so that an idle terminal still notices a dead line.
    TGsmResult Watch();
    // Asks for the registration and the signal; what the answers say replaces the values of
    // last, a change of the registration is logged. Nothing else depends on the answers.
    TNetworkStatus QueryNetwork(TNetworkStatus last);
    // The next unsolicited event of the saved text, logged as it is taken.
    TUnsolicitedEvent NextUnsolicited();

    // The command and answer primitives; every answer is what arrived for it.
    bool SendCommand(const std::string& command, std::string& answer, bool log,
                     const std::string& expected, int32_t timeoutMs);
    bool SendString(const std::string& text, bool log);
    // Waits whole seconds, and its log line counts them.
    bool WaitAnswer(const std::string& success, const std::string& failure,
                    std::chrono::seconds timeout, std::string* answer, bool log);
    // As WaitAnswer, up to the final result line: "OK" alone on its line, or an error line.
    TFinalResult WaitFinalResult(std::chrono::seconds timeout, std::string& answer);
    // Moves every byte waiting into the saved text; true when any was moved.
    bool FlushSave();
    void LogMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // While a retry repeats the previous failure, the lines an attempt logs are held back and
    // written only when its outcome is news: a success or a different failure.
    void HoldLog(bool hold) { FHoldLog = hold; }
    void ReleaseLog(bool write);
    void LogLines(const std::vector<std::string>& lines);

    // Why the initialisation waits without sending a PIN; the PIN the SIM refused; the
    // entries whose deletion failed. The owner carries the last two to the next session.
    TPinWait PinWait() const { return FPinWait; }
    const std::string& RefusedPin() const { return FOptions.RefusedPin; }
    const THandledEntries& Handled() const { return FOptions.Handled; }
    const THandledEntries& Awaiting() const { return FOptions.Awaiting; }
    const THandledEntries& Confirmed() const { return FOptions.Confirmed; }
    // The owner made the entry safe: the next listing deletes it.
    void Confirm(int32_t index, const std::string& pdu);
    uint8_t NextConcatRef() const { return FConcatRef; }
    // The IMSI the last initialisation read (QueryImsi); empty when it did not ask, the SIM
    // did not tell, or the initialisation failed before asking.
    const std::string& Imsi() const { return FImsi; }
    // The same for the ICCID (QueryIccid, or a PIN sent with PinAttempt).
    const std::string& Iccid() const { return FIccid; }
    // The unsolicited text saved so far, not yet taken by NextUnsolicited().
    const std::string& Saved() const { return FSaved; }
    // The references of "+CMGS" lines read since the last call that answered no submission in
    // progress: answers to earlier submissions whose wait had ended. Oldest first.
    std::vector<int32_t> TakeLateReferences();

private:
    bool Stopped() const { return FOwner != nullptr && FOwner->Terminated(); }
    void Pause(uint32_t ms);
    void Save(const std::string& text);

    bool ReadCommandAnswer(std::string& answer, const std::string& expected, uint32_t timeoutMs);
    bool ReadUntilMarker(std::string& answer, const std::string& success,
                         const std::string& failure, uint32_t timeoutMs);
    // state, when given, gets how the framing ended (More when it did not).
    bool ReadFramedAnswer(const TPortReader::TFramer& framer, uint32_t timeoutMs,
                          std::string& answer, TFrameState* state = nullptr);
    bool WaitFramed(const TPortReader::TFramer& framer, std::chrono::seconds timeout,
                    std::string* answer, bool log, TFrameState* state = nullptr);

    bool SelectPduMode();
    TGsmResult RegisterPin();
    TGsmResult SendPin(const std::string& pin);
    TGsmResult PinTaken(const std::string& pin);
    TGsmResult PinUnanswered(const std::string& pin);
    std::string QueryIccid();
    TGsmResult WaitWithoutPin(TPinWait wait, const std::string& reason = {});
    TGsmResult QuerySmsCentre();
    std::string AskImsi();
    void AskIccid();
    void TakeKeptEntries();

    TGsmResult SubmitPart(const std::string& pduHex, int32_t commandLength,
                          const std::function<bool()>& mayWrite, TSubmitResult& result);
    void CancelPduEntry();
    TGsmResult AwaitPartAnswer(TSubmitResult& result);
    std::string RefusalOf(const std::string& answer);
    void LogLateRefusal(const std::string& prompt);
    int32_t OwnReference(const std::string& answer);

    TGsmResult ReceiveListed(TReceiveResult& result);
    // Reads the at+cmgl reply; cut: the reply holds only the lines before the listing bound.
    TGsmResult ReadListing(std::string& reply, bool& cut);
    bool DrainListing();
    TGsmResult UnendedListing(const std::string& reply);
    TGsmResult RefusedListing(const std::string& reply);
    void SaveStray(const std::string& text);
    enum class TDeletion { Deleted, Refused, Unsent, Failed };
    TGsmResult TakeEntry(const TListingEntry& entry, TReceiveResult& result);
    bool HandOver(const TListingEntry& entry, const std::string& pdu, TReceiveResult& result);
    TDeletion DeleteEntry(int32_t index, bool logRefusal);

    bool AskNetwork(const std::string& command, std::string& answer);

    TAtSessionOptions FOptions;
    TThread* FOwner;
    COM FPort;
    // Input of FPort not yet taken by the exchange; emptied whenever the port opens or
    // closes, as the port's own queue is.
    TPortReader FReader;
    std::string FSaved;
    TUnsolicitedScanner FScanner{RingWaitMs};
    uint8_t FConcatRef = 0; // reference of the next concatenated message
    TPinWait FPinWait = TPinWait::None;
    std::string FImsi;
    std::string FIccid;
    // Late "+CMGS" lines found inside a part's own answer, in front of the part's own one.
    std::vector<int32_t> FLateReferences;
    bool FHoldLog = false;
    std::vector<std::string> FHeldLog;
};

} // namespace qvx
