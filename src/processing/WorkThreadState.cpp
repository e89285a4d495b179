// What the worker keeps in the state file, so that a restart, a kill or a power cut forgets
// nothing that would send a message twice: read once at the start, saved after every change.
#include "infra/Hex.h"
#include "infra/LogFile.h"
#include "processing/WorkThread.h"

#include <algorithm>
#include <exception>

namespace qvx {

void TWorkThread::LoadState() {
    TStateFile::TLoaded loaded = FStateFile.Load(std::time(nullptr));
    if (!loaded.Fault.empty()) {
        if (loaded.MovedTo.empty())
            WriteLog("Файл состояния %s повреждён (%s) и будет перезаписан",
                     FStateFile.Path().c_str(), loaded.Fault.c_str());
        else
            WriteLog("Файл состояния %s повреждён (%s), он перенесён в %s",
                     FStateFile.Path().c_str(), loaded.Fault.c_str(), loaded.MovedTo.c_str());
    }
    FState = std::move(loaded.State);
    {
        std::lock_guard<std::mutex> lock(FSaveLock);
        FPins = FState.RefusedPins;
        FSavedState = FState;
    }
    // Acknowledged before the last stop and never stamped: skipped by every pass until the
    // database stamps them.
    for (const auto& entry : FState.Unstamped)
        FLedger.Acknowledged(entry.first);
    for (const auto& [msgId, at] : FState.GivenUp)
        FLedger.GivenUp(msgId, at);
    for (const auto& entry : FState.Undeletable)
        FCarry[1].Handled.Add(entry.Index, entry.Pdu);
}

void TWorkThread::SaveState() noexcept {
    if (!FStateChanged)
        return;
    try {
        if (const size_t dropped = FState.Trim())
            WriteLog("Файл состояния переполнен: удалено старейших записей: %zu", dropped);
        std::unique_lock<std::mutex> lock(FSaveLock);
        const std::string error = SaveWithPins(FState);
        lock.unlock();
        if (error.empty()) {
            FStateChanged = false;
            FStateSaveError.clear();
            return;
        }
        // The change stays marked: the next save tries again.
        if (error != FStateSaveError)
            WriteLog("Не удалось сохранить файл состояния: %s", error.c_str());
        FStateSaveError = error;
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
}

std::string TWorkThread::SaveWithPins(TServiceState& state) {
    state.RefusedPins = FPins;
    const std::string error = FStateFile.Save(state, std::time(nullptr));
    if (error.empty())
        FSavedState = state;
    return error;
}

// The PIN never reaches the file, only its hash salted afresh for each record.
bool TWorkThread::PinAttempt(const std::string& iccid, const std::string& pin) {
    std::lock_guard<std::mutex> lock(FSaveLock);
    if (PinTried(FPins, iccid, pin))
        return false;
    try {
        AddPinAttempt(FPins, iccid, pin, std::time(nullptr));
        TServiceState state = FSavedState;
        const std::string error = SaveWithPins(state);
        if (!error.empty())
            WriteLog("Не удалось сохранить файл состояния: %s", error.c_str());
    } catch (const std::exception& error) {
        // Without a salt the attempt is counted in memory only, as before the file existed.
        WriteLog("Ошибка: %s", error.what());
    }
    return true;
}

void TWorkThread::PinAccepted(const std::string& iccid) {
    std::lock_guard<std::mutex> lock(FSaveLock);
    if (!ForgetPins(FPins, iccid))
        return;
    TServiceState state = FSavedState;
    const std::string error = SaveWithPins(state);
    if (!error.empty())
        WriteLog("Не удалось сохранить файл состояния: %s", error.c_str());
}

int64_t TWorkThread::KeptPins() {
    std::lock_guard<std::mutex> lock(FSaveLock);
    return static_cast<int64_t>(FPins.size());
}

void TWorkThread::KeepUndeletable() {
    std::vector<TServiceState::TUndeletable> kept;
    for (const auto& [index, pdu] : FCarry[1].Handled.Entries()) {
        // A listing line that is no PDU the file could hold is not kept: it would damage it.
        if (pdu.empty() || pdu.size() > TServiceState::PduHexMax ||
            !std::all_of(pdu.begin(), pdu.end(), [](char c) { return HexValue(c) != NotHex; }))
            continue;
        const auto known = std::find_if(
            FState.Undeletable.begin(), FState.Undeletable.end(),
            [&](const auto& entry) { return entry.Index == index && entry.Pdu == pdu; });
        kept.push_back(
            {index, pdu, known != FState.Undeletable.end() ? known->At : std::time(nullptr)});
    }
    if (kept == FState.Undeletable)
        return;
    FState.Undeletable = std::move(kept);
    FStateChanged = true;
    SaveState();
}

void TWorkThread::ExpireGivenUp(std::time_t now) {
    for (const int32_t msgId : FLedger.ExpireGivenUp(now)) {
        FState.GivenUp.erase(msgId);
        FStateChanged = true;
    }
    SaveState();
}

} // namespace qvx
