// TIncoming, the messages subscribers send to the terminals' SIMs: each is logged once, and an
// account request ("1") is prepared in the database before its SIM entry is confirmed, so that
// a kill before that leaves it on the SIM for the next start. Requests the database could not
// take wait, in order, with its back-off. Worker thread only.
#pragma once

#include "infra/Queues.h"
#include "processing/DatabaseRetry.h"
#include "processing/TerminalSlot.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qvx {

class TDatabase;
class TDeliveryLedger;
class TDispatch;
struct TWorkerCounters;

class TIncoming {
public:
    // What it works with, all the worker's.
    struct TLinks {
        TDatabase& Database;
        TDeliveryLedger& Ledger;
        TDispatch& Dispatch;
        TWorkerCounters& Counters;
        std::vector<TTerminalSlot>& Terminals;
        // Where the entries of a terminal that is not running are confirmed.
        std::map<int32_t, TTerminalCarry>& Carry;
        std::function<void()> Beat;
        // " [<Name>]" of a terminal by its section number, when there are several.
        std::function<std::string(int32_t)> Tag;
    };

    explicit TIncoming(TLinks links) : FLinks(std::move(links)) {}

    // A message a stopped terminal had received (still on the SIM until confirmed): handled
    // before anything newly received.
    void Keep(TSMS sms) { FBacklog.push_back(std::move(sms)); }
    // Handles every message received so far; sendNow is set when an answer was prepared.
    void Handle(bool& sendNow);
    // At the end of the service: what is kept is still logged and its requests prepared, so
    // that the answers leave with the next start; the database is closed after.
    void HandleOnExit() noexcept;

private:
    bool Take(TSMS& sms);
    // Logs a received message and keeps an account request for AnswerRequests.
    void Log(const TSMS& sms);
    // The text is safe (logged, its request answered or dropped): its SIM entry may go.
    void Confirm(const TSMS& sms);
    // Prepares the answers of FRequests in order; a database failure leaves the failed
    // request first in line.
    void AnswerRequests(bool& sendNow);
    void PrepareAnswer(const TSMS& sms, bool& sendNow);

    TLinks FLinks;
    std::deque<TSMS> FBacklog;
    // Account requests logged but not yet prepared: the database failed while preparing them.
    std::deque<TSMS> FRequests;
    // The back-off of a lost connection, for the requests.
    TDatabaseRetry FRetry;
};

} // namespace qvx
