#include "processing/StateKeeper.h"

#include "infra/LogFile.h"

#include <exception>
#include <utility>

namespace qvx {

void TStateKeeper::Load(std::time_t now) {
    TStateFile::TLoaded loaded = FFile.Load(now);
    const char* path = FFile.Path().c_str();
    if (!loaded.Fault.empty()) {
        if (loaded.MovedTo.empty())
            WriteLog("Файл состояния %s повреждён (%s) и будет перезаписан", path,
                     loaded.Fault.c_str());
        else
            WriteLog("Файл состояния %s повреждён (%s), он перенесён в %s", path,
                     loaded.Fault.c_str(), loaded.MovedTo.c_str());
    }
    const TStateReading& reading = loaded.Reading;
    for (const TDroppedLine& dropped : reading.Dropped)
        WriteLog("Файл состояния %s: строка %d пропущена (%s)", path, dropped.Line,
                 dropped.Why.c_str());
    if (reading.DroppedCount > reading.Dropped.size())
        WriteLog("Файл состояния %s: пропущено ещё строк с ошибками: %zu", path,
                 reading.DroppedCount - reading.Dropped.size());
    if (reading.NewerSkipped > 0)
        WriteLog("Файл состояния %s записан более новой версией программы (%d): пропущено "
                 "записей неизвестного вида: %zu",
                 path, reading.Version, reading.NewerSkipped);
    FState = std::move(loaded.State);
    std::lock_guard<std::mutex> lock(FSaveLock);
    FPins = FState.PinAttempts;
    FSaved = FState;
}

void TStateKeeper::Save() noexcept {
    if (!FChanged)
        return;
    try {
        if (const size_t dropped = FState.Trim())
            WriteLog("Файл состояния переполнен: удалено старейших записей: %zu", dropped);
        std::unique_lock<std::mutex> lock(FSaveLock);
        const std::string error = SaveWithPins(FState);
        lock.unlock();
        if (error.empty()) {
            FChanged = false;
            FSaveError.clear();
            return;
        }
        // The change stays marked: the next save tries again.
        if (error != FSaveError)
            WriteLog("Не удалось сохранить файл состояния: %s", error.c_str());
        FSaveError = error;
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    }
}

std::string TStateKeeper::SaveWithPins(TServiceState& state) {
    state.PinAttempts = FPins;
    const std::string error = FFile.Save(state, std::time(nullptr));
    if (error.empty())
        FSaved = state;
    return error;
}

// The PIN never reaches the file, only its hash salted afresh for each record. The terminal
// retries its initialisation every second or so: an unwritable file is logged once.
TPinPermit TStateKeeper::PinAttempt(const std::string& iccid, const std::string& pin) {
    TPinPermit permit;
    bool news = false;
    {
        std::lock_guard<std::mutex> lock(FSaveLock);
        permit = RecordPinAttempt(FPins, iccid, pin, std::time(nullptr), [this] {
            TServiceState state = FSaved;
            return SaveWithPins(state);
        });
        if (permit.Wait == TPinWait::Unrecorded)
            news = std::exchange(FPinSaveError, permit.Reason) != permit.Reason;
        else if (permit.Wait == TPinWait::None)
            FPinSaveError.clear();
    }
    if (news)
        WriteLog("Попытка PIN кода не записана в файл состояния (%s): PIN код не посылается",
                 permit.Reason.c_str());
    return permit;
}

void TStateKeeper::PinVerdict(const std::string& iccid, const std::string& pin, bool accepted) {
    std::string error;
    {
        std::lock_guard<std::mutex> lock(FSaveLock);
        if (!ApplyPinVerdict(FPins, iccid, pin, accepted))
            return;
        TServiceState state = FSaved;
        error = SaveWithPins(state);
    }
    // The verdict stays in memory: the next save writes it.
    if (!error.empty())
        WriteLog("Не удалось сохранить файл состояния: %s", error.c_str());
}

int64_t TStateKeeper::KeptPins() {
    std::lock_guard<std::mutex> lock(FSaveLock);
    return static_cast<int64_t>(FPins.size());
}

} // namespace qvx
