// The worker's side of the terminals' outcomes: the dispatch reads them, and what the network
// acknowledged gets its delivery row stamped.
#include "processing/WorkThread.h"

namespace qvx {

void TWorkThread::TakeOutcomes() {
    FOutcomesPending.store(false);
    for (size_t t = 0; t < FTerminals.size(); ++t)
        TakeOutcomes(t);
}

void TWorkThread::TakeOutcomes(size_t terminal) {
    std::vector<TOutcome> outcomes;
    if (!FTerminals[terminal].Siemens->TakeOutcomes(outcomes))
        return;
    for (const TOutcome& outcome : outcomes)
        Apply(FDispatch.Outcome(terminal, outcome, GetTickCount(), std::time(nullptr)));
    FKeeper.Save();
}

} // namespace qvx
