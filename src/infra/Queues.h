// Records that cross between the worker and the terminal thread, and the locked queues that
// carry their copies. Every queue operation holds the queue's own lock from start to end.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <iterator>
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
    // A received text: the SIM entry it came from, which stays on the SIM until the owner has
    // confirmed the text safe. -1 for anything else (an outgoing message, a USSD result).
    int32_t SimIndex = -1;
    std::string SimPdu = {};
    // A received text: the number of the terminal (its INI section) that received it.
    int32_t Terminal = 0;
    // An outgoing message: the database session on which its owner claimed it (0: none).
    uint64_t ClaimSession = 0;

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
    // Not sent, and handed back at once for the owner to decide on: no prompt, the port
    // failed before the PDU went out, or the network refused it (Reason holds the "+CMS ERROR"
    // line, empty when the terminal itself failed; ResultCode the terminal's result code).
    Failed = 3,
    // Not sent, or sent only in part: the claim it was taken under is gone, so it may no
    // longer go from here; the owner sends it again once it holds it anew.
    Withdrawn = 4,
    // The PDU of a part went out and no final answer came for it: the network may have the
    // message. References holds the parts acknowledged before. An answer that still comes
    // within TSiemens::LateAnswerMs turns it into an Acknowledged outcome.
    MaybeSent = 5,
};

struct TOutcome {
    int32_t MsgId = 0;
    TOutcomeKind Kind = TOutcomeKind::Acknowledged;
    int32_t ResultCode = 0;
    std::string Telephone;
    std::string Reason;
    std::vector<int32_t> References;
};

// First-in-first-out queue of copies. The head can be taken for submission: it then stays
// first, and items pushed to the front go behind it, until it is popped or released.
template <typename T> class TQueue {
public:
    void Push(T item) {
        std::lock_guard lock(FLock);
        FList.push_back(std::move(item));
    }
    // Puts the items, in their order, before every queued item but the one in submission.
    void PushFront(const std::vector<T>& list) {
        std::lock_guard lock(FLock);
        const auto at = FList.begin() + (FHeadInSubmission && !FList.empty() ? 1 : 0);
        FList.insert(at, list.begin(), list.end());
    }
    // Oldest out and removed; false (item unchanged) when empty.
    bool Pop(T& item) {
        std::lock_guard lock(FLock);
        FHeadInSubmission = false;
        if (FList.empty())
            return false;
        item = std::move(FList.front());
        FList.pop_front();
        return true;
    }
    // Oldest out, left queued.
    bool Peek(T& item) const {
        std::lock_guard lock(FLock);
        if (FList.empty())
            return false;
        item = FList.front();
        return true;
    }
    // As Peek, and the head counts as in submission.
    bool PeekForSubmission(T& item) {
        std::lock_guard lock(FLock);
        if (FList.empty())
            return false;
        item = FList.front();
        FHeadInSubmission = true;
        return true;
    }
    // The head stays queued but is no longer in submission.
    void ReleaseHead() {
        std::lock_guard lock(FLock);
        FHeadInSubmission = false;
    }
    // The head goes to the back of the queue and is no longer in submission.
    void ReleaseHeadToBack() {
        std::lock_guard lock(FLock);
        FHeadInSubmission = false;
        if (FList.size() < 2)
            return;
        FList.push_back(std::move(FList.front()));
        FList.pop_front();
    }
    int32_t Count() const {
        std::lock_guard lock(FLock);
        return static_cast<int32_t>(FList.size());
    }
    // Removes and returns, in order, every item but the one in submission.
    std::vector<T> TakeWaiting() {
        std::lock_guard lock(FLock);
        const auto from = FList.begin() + (FHeadInSubmission && !FList.empty() ? 1 : 0);
        std::vector<T> taken(std::make_move_iterator(from), std::make_move_iterator(FList.end()));
        FList.erase(from, FList.end());
        return taken;
    }

protected:
    mutable std::mutex FLock;
    std::deque<T> FList;
    bool FHeadInSubmission = false;
};

using TSMSStack = TQueue<TSMS>;

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
class TRingStack : public TQueue<TRing> {
public:
    static constexpr TDateTime FoldWindow = 15 * OneSecond;

    void Push(const TRing& ring);

private:
    std::string FLastTelephone;
    TDateTime FLastDateTime = 0;
};

} // namespace qvx
