// TStateFile, the one place on disk for what the service must remember across a restart:
// QuorvexSMS.state in the service folder, owned by the service user, mode 0600. Each save
// replaces the whole file atomically (a temporary file, fsync, rename, fsync of the folder), so
// that a kill or a power cut leaves the old state or the new one, never a mix. Used by the
// worker thread alone.
#pragma once

#include "processing/ServiceState.h"

#include <ctime>
#include <optional>
#include <string>

namespace qvx {

class TStateFile {
public:
    static constexpr const char* FileName = "QuorvexSMS.state";
    // A larger file is no state of this program's.
    static constexpr size_t SizeMax = 2 * 1024 * 1024;

    // dir: the service folder, with or without its trailing '/'.
    explicit TStateFile(const std::string& dir);

    struct TLoaded {
        TServiceState State;
        // Set when the file was damaged or foreign: the reason, and where the file went
        // ("QuorvexSMS.state.bad-<time>"), for one log line.
        std::string Fault;
        std::string MovedTo;
    };
    // A missing file is an empty state; a damaged one is moved aside and gives an empty state,
    // never a reason not to start.
    TLoaded Load(std::time_t now) const;
    // Reads without touching the file, for a command beside the service: the state, empty for
    // a missing file, or nullopt for a damaged one (the service's next start moves it aside).
    std::optional<TServiceState> Peek() const;
    // Empty on success, else what failed (cp1251, for the log).
    std::string Save(const TServiceState& state, std::time_t now) const;

    const std::string& Path() const { return FPath; }

private:
    std::string FDir;
    std::string FPath;
};

} // namespace qvx
