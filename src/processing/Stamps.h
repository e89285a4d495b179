// TStamps, the messages the network acknowledged until their delivery rows are stamped: each
// is recorded in the ledger (no pass sends it again) and in the state file (no restart does)
// at once, stamped a batch in one statement, and forgotten by both, with its claim, once the
// stamp is committed. Worker thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace qvx {

class TClaims;
class TDatabase;
class TDeliveryLedger;
class TStateKeeper;

class TStamps {
public:
    TStamps(TDatabase& database, TDeliveryLedger& ledger, TClaims& claims, TStateKeeper& keeper)
        : FDatabase(database), FLedger(ledger), FClaims(claims), FKeeper(keeper) {}

    void Acknowledged(int32_t msgId, std::time_t now);
    // One statement for every acknowledged id not yet stamped; after a failure it waits
    // TDeliveryLedger::StampRetryMs before the next try unless now is set. Throws
    // EDatabaseError when the database fails.
    void Stamp(bool now);
    // The last try at a stop; what stays unstamped is named in the log. Never throws.
    void StampOnExit() noexcept;

private:
    // After a statement the server refused: each id on its own, so that one row cannot hold
    // up the rest; a row that fails is logged once per distinct error.
    void OneByOne(const std::vector<int32_t>& ids);
    void Forget(const std::vector<int32_t>& ids);

    TDatabase& FDatabase;
    TDeliveryLedger& FLedger;
    TClaims& FClaims;
    TStateKeeper& FKeeper;
    // Ids whose row alone was refused a stamp, with the error already logged.
    std::map<int32_t, std::string> FErrors;
};

} // namespace qvx
