// What the worker keeps in the state file, so that a restart, a kill or a power cut forgets
// nothing that would send a message twice: the ledger's records at the start, the entries the
// terminal could not delete, and the end of a given-up message's hold.
#include "infra/Hex.h"
#include "infra/LogFile.h"
#include "processing/WorkThread.h"

#include <algorithm>
#include <exception>

namespace qvx {

void TWorkThread::LoadState() {
    FKeeper.Load(std::time(nullptr));
    const TServiceState& state = FKeeper.State();
    // Acknowledged before the last stop and never stamped: skipped by every pass until the
    // database stamps them.
    for (const auto& entry : state.Unstamped)
        FLedger.Acknowledged(entry.first);
    for (const auto& [msgId, at] : state.GivenUp)
        FLedger.GivenUp(msgId, at);
    for (const auto& entry : state.Undeletable)
        FCarry[1].Handled.Add(entry.Index, entry.Pdu);
}

void TWorkThread::KeepUndeletable() {
    std::vector<TServiceState::TUndeletable> kept;
    for (const auto& [index, pdu] : FCarry[1].Handled.Entries()) {
        // A listing line that is no PDU the file could hold is not kept: it would damage it.
        if (pdu.empty() || pdu.size() > TServiceState::PduHexMax ||
            !std::all_of(pdu.begin(), pdu.end(), [](char c) { return HexValue(c) != NotHex; }))
            continue;
        const auto known = std::find_if(
            FKeeper.State().Undeletable.begin(), FKeeper.State().Undeletable.end(),
            [&](const auto& entry) { return entry.Index == index && entry.Pdu == pdu; });
        kept.push_back(
            {index, pdu,
             known != FKeeper.State().Undeletable.end() ? known->At : std::time(nullptr)});
    }
    if (kept == FKeeper.State().Undeletable)
        return;
    FKeeper.State().Undeletable = std::move(kept);
    FKeeper.Changed();
    FKeeper.Save();
}

void TWorkThread::ExpireGivenUp(std::time_t now) {
    for (const int32_t msgId : FLedger.ExpireGivenUp(now)) {
        FKeeper.State().GivenUp.erase(msgId);
        FKeeper.Changed();
    }
    FKeeper.Save();
}

// At the end of the service the messages a stopped terminal had received are still logged,
// and their account requests prepared, so that the answers leave with the next start.
void TWorkThread::HandleBacklogOnExit() noexcept {
    FIncoming.HandleOnExit();
    // What was made safe is deleted by the next start without being handed over again.
    try {
        TTerminalCarry& first = FCarry[1];
        for (const auto& [index, pdu] : first.Confirmed.Entries())
            first.Handled.Add(index, pdu);
        KeepUndeletable();
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
}

} // namespace qvx
