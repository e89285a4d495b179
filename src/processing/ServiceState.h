// What the service knows that must outlive the process (a restart, an upgrade, a kill, a power
// cut), and its text form: one record a line, "<kind> <fields> <time>", after a version line,
// so that an operator can read it. A plain value; the worker owns the one copy and TStateFile
// keeps it on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

struct TServiceState {
    // Bounds of each kind of record; past them the oldest records go first.
    static constexpr size_t MessagesMax = 10000;
    static constexpr size_t PinsMax = 64; // two a SIM for a full set of terminals, twice over
    static constexpr size_t EntriesMax = 256;
    static constexpr size_t SimsMax = 64;
    static constexpr size_t HostsMax = 64;
    // The longest listed PDU in hex: 176 octets of an SMS-DELIVER with its centre address.
    static constexpr size_t PduHexMax = 2 * 176;

    // A PIN sent to a SIM, kept as a salted hash beside the SIM's ICCID ("0" when the terminal
    // does not tell it) until the SIM takes a PIN. Refused: the SIM refused it; else it went
    // without a verdict yet (recorded before it goes, or unanswered). Every record counts as
    // one of the SIM's three attempts.
    struct TPinAttempt {
        std::string Iccid;
        std::string Salt; // hex
        std::string Hash; // hex SHA-256 of salt, ICCID and PIN
        std::time_t At = 0;
        bool Refused = false;
        bool operator==(const TPinAttempt&) const = default;
    };
    // A received entry of a SIM, handed over and still on it (its deletion failed, or a stop
    // came first), so that no start hands it over again. Sim: the SIM's ICCID, or
    // "terminal:<Number>" for a terminal whose SIM does not tell it (and for the records of a
    // version 1 file, all of terminal 1).
    struct TUndeletable {
        std::string Sim;
        int32_t Index = 0;
        std::string Pdu; // hex, as listed
        std::time_t At = 0;
        bool operator==(const TUndeletable&) const = default;
    };

    // A SIM's messages acknowledged since its last daily reset (PeriodStart), by IMSI: its
    // digits, or "terminal:<Name>" while the terminal has not told it.
    struct TSimCount {
        std::time_t PeriodStart = 0;
        int32_t Count = 0;
        bool operator==(const TSimCount&) const = default;
    };

    std::map<int32_t, std::time_t> Unstamped; // acknowledged by the network, row not stamped
    std::map<int32_t, std::time_t> GivenUp;   // given up, and since when
    std::vector<TPinAttempt> PinAttempts;
    std::vector<TUndeletable> Undeletable;
    std::optional<uint8_t> NextConcatRef;
    std::map<std::string, TSimCount> SimCounts;
    // The other hosts seen on the database, by session name, and when last: after a new
    // session a host that shares the database waits before it claims.
    std::map<std::string, std::time_t> Hosts;

    bool operator==(const TServiceState&) const = default;
    bool Empty() const { return *this == TServiceState{}; }
    // Drops the oldest records past the bounds; returns how many went.
    size_t Trim();
};

// Whether key may name a SIM in SimCounts (and so be written as one word of a record).
bool SimKeyAllowed(std::string_view key);

// Whether key may name a SIM in Undeletable: an ICCID, or "terminal:<Number>".
bool EntrySimAllowed(std::string_view key);

// Whether name may stand in Hosts (and so be written as one word of a record).
bool HostNameAllowed(std::string_view name);

// t as UTC text in a strftime format, for the state file and its damaged copies' names.
std::string UtcText(std::time_t t, const char* format);

// The hash kept for a PIN attempt.
std::string PinAttemptHash(std::string_view salt, std::string_view iccid, std::string_view pin);

// One line the reading dropped: its number in the file and why, for one log line.
struct TDroppedLine {
    int32_t Line = 0;
    std::string Why; // cp1251
};

// What reading the text form found besides the records.
struct TStateReading {
    // The file's version; 0 when it has no version line first: no file of this program's.
    int32_t Version = 0;
    // The first DroppedShownMax bad lines, and how many there were in all.
    static constexpr size_t DroppedShownMax = 20;
    std::vector<TDroppedLine> Dropped;
    size_t DroppedCount = 0;
    // Records of kinds added by a newer version than this program's, passed over unread.
    size_t NewerSkipped = 0;
    bool operator==(const TStateReading&) const = default;
};

// now: the time written beside records that have none of their own.
std::string FormatState(const TServiceState& state, std::time_t now);
// Reads the text form into state, each line on its own: a damaged line, or one of a kind this
// version does not know, costs that record alone. A file of a newer version is read for the
// kinds this program knows. Without a version line first nothing is read.
TStateReading ParseState(std::string_view text, TServiceState& state);

} // namespace qvx
