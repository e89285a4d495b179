// Records that cross between the worker and the terminal thread, and the locked queues that
// carry their copies. Every queue operation holds the queue's own lock from start to end.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace qvx {

// Days since 1899-12-30 00:00, the time of day as the fraction.
using TDateTime = double;
constexpr TDateTime OneSecond = 1.0 / 86400.0;
// Local time of t as a TDateTime.
TDateTime ToDateTime(std::time_t t);
TDateTime Now();

// One short message; texts are Windows-1251. An outgoing message carries the id of its
// delivery row, so that its outcome can find the row again, and the time it was registered.
struct TSMS {
    std::string Telephone;
    std::string Text;
    bool Flash = false;
    bool Transliterate = false;
    int32_t MsgId = 0;
    TDateTime RegDt = 0;

    bool operator==(const TSMS&) const = default;
};

// One incoming call seen on the terminal.
struct TRing {
    std::string Telephone;
    TDateTime DateTime = 0;
    bool International = false;
    int32_t Count = 0;

    bool operator==(const TRing&) const = default;
};

// What became of an outgoing message: the terminal's report to the worker.
enum class TOutcomeKind : int32_t {
    Acknowledged = 0, // the network took every part; References holds their +CMGS numbers
    GivenUp = 1,      // it can never go out: ResultCode and Reason say why
    Returned = 2,     // not sent, and not to be sent now; a later pass sends it
};

struct TOutcome {
    int32_t MsgId = 0;
    TOutcomeKind Kind = TOutcomeKind::Acknowledged;
    int32_t ResultCode = 0;
    std::string Telephone;
    std::string Reason;
    std::vector<int32_t> References;
};

// First-in-first-out queue of TSMS copies. The head can be taken for submission: it then
// stays first, and messages pushed to the front go behind it, until it is popped or released.
class TSMSStack {
public:
    void Push(const TSMS& sms);
    // Puts the messages, in their order, before every queued message but the one in submission.
    void PushFront(const std::vector<TSMS>& list);
    bool Pop(TSMS& sms);               // oldest out and removed; false (sms unchanged) when empty
    bool Peek(TSMS& sms) const;        // oldest out, left queued
    bool PeekForSubmission(TSMS& sms); // as Peek, and the head counts as in submission
    void ReleaseHead();                // the head stays queued but is no longer in submission
    int32_t Count() const;

private:
    mutable std::mutex FLock;
    std::deque<TSMS> FList;
    bool FHeadInSubmission = false;
};

// Outcomes on their way from the terminal thread to the worker.
class TOutcomeQueue {
public:
    void Push(TOutcome outcome);
    // Moves every waiting outcome to the end of list; false when there was none.
    bool TakeAll(std::vector<TOutcome>& list);

private:
    mutable std::mutex FLock;
    std::vector<TOutcome> FList;
};

// The same queue for calls; rings of one caller less than 15 seconds after the previous
// one (folded or not) are folded into the newest record.
class TRingStack {
public:
    static constexpr TDateTime FoldWindow = 15 * OneSecond;

    void Push(const TRing& ring);
    bool Pop(TRing& ring);
    bool Peek(TRing& ring) const;
    int32_t Count() const;

private:
    mutable std::mutex FLock;
    std::deque<TRing> FList;
    std::string FLastTelephone;
    TDateTime FLastDateTime = 0;
};

} // namespace qvx
