// TStateFile, the one place on disk for what the service must remember across a restart:
// QuorvexSMS.state in the service folder, owned by the service user, mode 0600. Each save
// replaces the whole file atomically (a temporary file, fsync, rename, fsync of the folder), so
// that a kill or a power cut leaves the old state or the new one, never a mix. Each save has a
// temporary file of its own, so that the service and `--check` beside it never write into one
// another's. Used by the worker thread, and by the terminal threads under the worker's lock.
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

    // A temporary file older than this is a leftover whoever wrote it.
    static constexpr std::time_t LeftoverSec = 600;

    struct TLoaded {
        TServiceState State;
        // The bad lines dropped and the records of a newer version passed over, to be logged.
        TStateReading Reading;
        // Set when the file is not this program's (no version line, unreadable, too large, not
        // a regular file): the reason, and where the file went ("QuorvexSMS.state.bad-<time>"),
        // for one log line.
        std::string Fault;
        std::string MovedTo;
    };
    // A missing file is an empty state; a foreign one is moved aside and gives an empty state,
    // never a reason not to start. A bad line costs its record alone. Removes the temporary
    // files that killed saves left behind.
    TLoaded Load(std::time_t now) const;
    // Reads without touching the file, for a command beside the service: the state (without
    // its bad lines), empty for a missing file, or nullopt for a foreign one (the service's
    // next start moves it aside).
    std::optional<TServiceState> Peek() const;
    // Empty on success, else what failed (cp1251, for the log).
    std::string Save(const TServiceState& state, std::time_t now) const;

    const std::string& Path() const { return FPath; }

private:
    void RemoveLeftovers() const;

    std::string FDir;
    std::string FPath;
};

} // namespace qvx
