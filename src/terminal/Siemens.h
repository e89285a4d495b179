// TSiemens, the terminal thread: it runs one TAtSession through opening, initialisation and
// the working passes (send at most one queued message, receive, look at unsolicited results,
// now and then ask about the network) and starts over when the terminal fails. Every public
// call is safe from another thread; the outcome of every queued message comes back through
// TakeOutcomes. The thread reports what became of a message and decides nothing about trying
// it again: a failed submission leaves the queue at once, and the owner decides. Only a
// message that can never be sent is given up here.
#pragma once

#include "infra/Queues.h"
#include "infra/Thread.h"
#include "terminal/AtSession.h"
#include "terminal/LateAnswers.h"
#include "terminal/SubmissionHold.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

// An outgoing message as the worker queues it: the record, and its parts prepared once.
struct TQueuedSms {
    TSMS Sms;
    TPreparedSms Prepared;
};

// Whether a message claimed by the owner may start from this terminal now.
enum class TClaimVerdict { Go, Wait, Withdraw };

struct TSiemensOptions {
    TAtSessionOptions Session;
    // How often the working loop asks for the registration and the signal (Session.TickSource
    // ms); the pause between opening and initialising attempts is Session.RetryPauseMs.
    uint32_t NetworkPeriodMs = 60000;
    // Called on the terminal thread after each outcome is queued, so the owner can wake up.
    std::function<void()> OnOutcome;
    // Asked on the terminal thread before each message is submitted; a message the verdict
    // holds back leaves the queue with the verdict's reason. Empty: every message is sent.
    std::function<TSendVerdict(const TSMS&, std::string& reason)> SendCheck;
    // Asked on the terminal thread before a message starts and again after each part's "> "
    // prompt, just before its PDU is written, with when this terminal last had a message
    // acknowledged (or possibly sent; boot clock ms, 0 for never). Withdraw: its claim is gone,
    // and it leaves the queue as a Withdrawn outcome (an open PDU entry is cancelled). Wait: it
    // stays queued and is asked again next pass; after a prompt it is withdrawn as well. Empty:
    // every message may go.
    std::function<TClaimVerdict(const TSMS&, uint64_t lastAckBootMs)> ClaimCheck;
    // The working pass lists the SIM's received messages; off, the terminal only sends.
    bool Receive = true;
};

class TSiemens : public TThread {
public:
    // How long after its PDU went out a message reported MaybeSent can still be acknowledged
    // by a late answer; the owner keeps it from going again until then.
    static constexpr uint32_t LateAnswerMs = 120000;

    explicit TSiemens(TSiemensOptions options);
    ~TSiemens() override; // the owner calls Terminate() and WaitFor() first

    void QueueSMS(TQueuedSms sms) { FOutgoing.Push(std::move(sms)); }
    // Queues the messages, in order, before everything but the message in submission.
    void QueueAnswers(const std::vector<TQueuedSms>& answers) { FOutgoing.PushFront(answers); }
    // Moves the outcomes reported so far to the end of list; false when there was none.
    bool TakeOutcomes(std::vector<TOutcome>& list) { return FOutcomes.TakeAll(list); }
    int32_t OutgoingCount() const { return FOutgoing.Count(); }
    // Takes back every queued message that is not in submission, in order.
    std::vector<TQueuedSms> Withdraw() { return FOutgoing.TakeWaiting(); }
    // The terminal is initialised again before its next message (after a suspension).
    void RequestReinitialise() { FReinitialise.store(true, std::memory_order_release); }
    // The SIM's IMSI (at+cimi) from the last initialisation that asked for it
    // (Session.QueryImsi); empty when not known.
    std::string Imsi() const;
    // The SIM's ICCID (at+ccid, Session.QueryIccid) from the last initialisation: nullopt
    // before the first one succeeded, empty when the SIM did not tell it. Published after the
    // entries kept for that SIM joined HandledNow(), so that whoever reads the ICCID first
    // finds them there.
    std::optional<std::string> Iccid() const;
    int32_t ReceivedSMSCount() const { return FIncoming.Count(); }
    bool GetReceivedSMS(TSMS& sms) { return FIncoming.Pop(sms); }
    // The owner has made a received text safe (logged it, answered its request): its SIM entry
    // is deleted in the next pass. Needs HoldUntilConfirmed; ignored for anything else.
    void ConfirmReceived(const TSMS& sms);
    // Incoming calls, recorded only with caller identification on.
    bool GetRing(TRing& ring) { return FRings.Pop(ring); }
    int32_t GetState() const { return FState.load(std::memory_order_acquire); }
    // Wall-clock seconds since which the state holds.
    int64_t StateSince() const { return FStateSince.load(std::memory_order_acquire); }
    // The last registration and signal the terminal reported.
    TNetworkStatus Network() const;
    // Why the initialisation waits without sending a PIN (TPinWait), 0 when it does not.
    int32_t GetPinWait() const { return FPinWait.load(std::memory_order_acquire); }
    // What the next terminal object carries over; read after WaitFor().
    const std::string& RefusedPin() const { return FSession.RefusedPin(); }
    const THandledEntries& Handled() const { return FSession.Handled(); }
    // The texts handed over and not yet confirmed, and those confirmed and not yet deleted,
    // with every confirmation received so far applied.
    THandledEntries Awaiting();
    const THandledEntries& Confirmed() const { return FSession.Confirmed(); }
    uint8_t NextConcatRef() const { return FSession.NextConcatRef(); }
    // The same entries while the thread runs (any thread): published before the messages of
    // their listing are queued, so that whoever takes a message can keep its entry first.
    THandledEntries HandledNow() const;

protected:
    void Execute() override;

private:
    void SetState(TTerminalState state);
    void OpenLoop();
    // True when the port itself went away and must be opened again.
    bool InitLoop();
    // One working pass; true when the terminal must be initialised again.
    bool WorkingPass();
    bool WatchPass();
    void PublishSim();
    void SendFirstQueued(bool& reinitialise);
    bool StillDue(const TSMS& sms);
    TClaimVerdict ClaimVerdict(const TSMS& sms) const;
    void Withdrawn(const TSMS& sms, size_t partsSent);
    void Sent(const TSMS& sms, std::vector<int32_t> references);
    void Failed(const TQueuedSms& queued, const TSubmitResult& result);
    void MaybeSent(const TQueuedSms& queued, const TSubmitResult& result);
    void TakeLateAnswers();
    void HoldAfterRefusal(const TSubmitResult& result);
    void EndHold();
    void GiveUp(const TSMS& sms, TGsmResult code, std::string reason);
    void Report(TOutcome outcome);
    void TakeUnsolicited();
    void PublishHandled();
    void ApplyConfirmations();
    bool NetworkQueryDue() const;
    bool HeldForRegistration();

    TSiemensOptions FOptions;
    TAtSession FSession;
    TQueue<TQueuedSms> FOutgoing;
    TSMSStack FIncoming;
    TRingStack FRings;
    TOutcomeQueue FOutcomes;
    std::atomic<int32_t> FState{0};
    std::atomic<int64_t> FStateSince;
    std::atomic<int32_t> FPinWait{0};
    std::atomic<bool> FReinitialise{false};
    mutable std::mutex FSimLock;
    std::string FImsi;
    std::optional<std::string> FIccid;
    TSubmissionHold FHold;
    TLateAnswers FLateAnswers{LateAnswerMs};
    bool FUnregistered = false;  // sending held: the terminal reports no registration
    uint64_t FLastAckBootMs = 0; // when a message was last acknowledged or possibly sent
    bool FNetworkQueried = false;
    uint32_t FNetworkQueriedTick = 0;
    mutable std::mutex FNetworkLock;
    mutable std::mutex FHandledLock;
    THandledEntries FHandledShared;
    std::mutex FConfirmLock;
    std::vector<std::pair<int32_t, std::string>> FConfirmations;
    TNetworkStatus FNetwork;
};

} // namespace qvx
