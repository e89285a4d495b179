// What the worker keeps in the state file, so that a restart, a kill or a power cut forgets
// nothing that would send a message twice: the ledger's records at the start, the entries each
// terminal's SIM still holds after handing them over, and the end of a given-up message's hold.
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
    // The entries kept for each SIM wait in the state until a terminal finds that SIM in it.
}

std::map<std::string, THandledEntries> TWorkThread::KeptEntries() const {
    std::map<std::string, THandledEntries> kept;
    for (const auto& entry : FKeeper.State().Undeletable)
        kept[entry.Sim].Add(entry.Index, entry.Pdu);
    return kept;
}

void TWorkThread::KeepEntries(int32_t number) {
    const TTerminalCarry& carry = FCarry[number];
    if (carry.EntriesSim.empty())
        return; // whose they are is not known: what the state keeps stays as it is
    // The terminal's session took up the entries of its unnamed SIM along with its own.
    const std::string unnamed = UnnamedSim(number);
    std::vector<TServiceState::TUndeletable> others, mine;
    for (const auto& entry : FKeeper.State().Undeletable)
        (entry.Sim == carry.EntriesSim || entry.Sim == unnamed ? mine : others).push_back(entry);
    std::vector<TServiceState::TUndeletable> kept;
    for (const auto& [index, pdu] : carry.Handled.Entries()) {
        // A listing line that is no PDU the file could hold is not kept: it would be dropped.
        if (pdu.empty() || pdu.size() > TServiceState::PduHexMax ||
            !std::all_of(pdu.begin(), pdu.end(), [](char c) { return HexValue(c) != NotHex; }))
            continue;
        const auto known = std::find_if(mine.begin(), mine.end(), [&](const auto& entry) {
            return entry.Index == index && entry.Pdu == pdu;
        });
        kept.push_back(
            {carry.EntriesSim, index, pdu, known != mine.end() ? known->At : std::time(nullptr)});
    }
    if (kept == mine)
        return;
    others.insert(others.end(), kept.begin(), kept.end());
    FKeeper.State().Undeletable = std::move(others);
    FKeeper.Changed();
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
        for (auto& [number, carry] : FCarry) {
            for (const auto& [index, pdu] : carry.Confirmed.Entries())
                carry.Handled.Add(index, pdu);
            KeepEntries(number);
        }
        FKeeper.Save();
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
}

} // namespace qvx
