// TStateKeeper, the service's one copy of what must outlive the process and the file that
// keeps it: the worker changes the state and saves it after each change; the terminal threads
// record PIN attempts through it, which are saved at once. Saves are serialised by one lock, so
// that a PIN attempt and the worker's save never cross. A failed save keeps the change marked
// for the next one and is logged once per distinct error.
#pragma once

#include "processing/PinAttempts.h"
#include "processing/ServiceState.h"
#include "processing/StateFile.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qvx {

class TStateKeeper {
public:
    explicit TStateKeeper(const std::string& dir) : FFile(dir) {}

    // Reads the file once at the start; a damaged one is logged and moved aside.
    void Load(std::time_t now);
    // The state, for the worker thread to read and change; Changed() after each change.
    TServiceState& State() { return FState; }
    const TServiceState& State() const { return FState; }
    void Changed() { FChanged = true; }
    // The last save failed or a change waits: the next Save writes it.
    bool Unsaved() const { return FChanged; }
    // Writes the state when it changed; never throws.
    void Save() noexcept;

    // The terminal's PIN attempts (TAtSessionOptions::PinAttempt, PinVerdict), called on the
    // terminal threads, by the rule of RecordPinAttempt: the PIN goes only once its attempt is
    // saved. A save that fails is logged once per distinct error.
    TPinPermit PinAttempt(const std::string& iccid, const std::string& pin);
    void PinVerdict(const std::string& iccid, const std::string& pin, bool accepted);
    int64_t KeptPins();

private:
    // Saves state with the PIN records; FSaveLock held.
    std::string SaveWithPins(TServiceState& state);

    TStateFile FFile;
    TServiceState FState;
    bool FChanged = false;
    std::string FSaveError;
    // The PIN records are the terminal threads' to change and the worker's to save with the
    // rest; FSaved is the state last written, which a PIN attempt writes again with its record.
    std::mutex FSaveLock;
    TPinRecords FPins;
    TServiceState FSaved;
    std::string FPinSaveError;
};

} // namespace qvx
