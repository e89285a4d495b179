// Encoding and decoding of the status line.
#include "service/StatusWire.h"

#include "infra/Decimal.h"
#include "service/ControlChannel.h"

#include <algorithm>
#include <vector>

namespace qvx {

namespace {

struct TNumberField {
    const char* Key;
    int64_t TWorkerStatus::*Member;
    int64_t Min = INT64_MIN;
    int64_t Max = INT64_MAX;
};

constexpr TNumberField NumberFields[] = {
    {"now", &TWorkerStatus::Now},
    {"started_at", &TWorkerStatus::StartedAt},
    {"start_result", &TWorkerStatus::StartResult},
    {"terminal_state", &TWorkerStatus::TerminalState},
    {"terminal_since", &TWorkerStatus::TerminalSince},
    {"pin_wait", &TWorkerStatus::PinWait},
    {"registration", &TWorkerStatus::Registration},
    {"signal_rssi", &TWorkerStatus::SignalRssi},
    {"network_checked_at", &TWorkerStatus::NetworkCheckedAt},
    {"outgoing", &TWorkerStatus::OutgoingCount},
    {"oldest_queued_at", &TWorkerStatus::OldestQueuedAt},
    {"acknowledged", &TWorkerStatus::AcknowledgedCount},
    {"given_up", &TWorkerStatus::GivenUpCount},
    {"received", &TWorkerStatus::ReceivedCount},
    {"requests_answered", &TWorkerStatus::RequestsAnswered},
    {"last_acknowledged_at", &TWorkerStatus::LastAcknowledgedAt},
    {"last_received_at", &TWorkerStatus::LastReceivedAt},
    {"kept_unstamped", &TWorkerStatus::KeptUnstamped},
    {"kept_given_up", &TWorkerStatus::KeptGivenUp},
    {"kept_undeletable", &TWorkerStatus::KeptUndeletable},
    {"kept_refused_pins", &TWorkerStatus::KeptRefusedPins},
    {"database_state", &TWorkerStatus::DatabaseState},
    {"database_error_at", &TWorkerStatus::DatabaseErrorAt},
    {"claims", &TWorkerStatus::Claims, 0, StatusClaimsMax},
    {"claim_grace_until", &TWorkerStatus::ClaimGraceUntil, 0, StatusTimeMax},
};
constexpr std::string_view DatabaseErrorKey = "database_error";

struct TTerminalField {
    const char* Key;
    int64_t TTerminalStatus::*Member;
};

// A terminal begins with its name; its other fields follow and belong to the last one begun.
constexpr std::string_view TerminalKey = "term";
constexpr std::string_view TerminalDeviceKey = "term_device";
constexpr TTerminalField TerminalFields[] = {
    {"term_state", &TTerminalStatus::State},
    {"term_registration", &TTerminalStatus::Registration},
    {"term_signal_rssi", &TTerminalStatus::SignalRssi},
    {"term_in_flight", &TTerminalStatus::InFlight},
    {"term_sent_today", &TTerminalStatus::SentToday},
    {"term_daily_limit", &TTerminalStatus::DailyLimit},
    {"term_suspended_until", &TTerminalStatus::SuspendedUntil},
};

// Another host begins with its name, as a terminal does.
constexpr std::string_view HostKey = "host";
constexpr std::string_view HostClaimsKey = "host_claims";

std::string Escape(std::string_view text, size_t max = StatusTextMax) {
    std::string escaped;
    for (char c : text.substr(0, max)) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\t')
            escaped += "\\t";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::optional<std::string> Unescape(std::string_view text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            plain += text[i];
            continue;
        }
        const char code = ++i < text.size() ? text[i] : '\0';
        if (code == '\\')
            plain += '\\';
        else if (code == 't')
            plain += '\t';
        else if (code == 'r')
            plain += '\r';
        else if (code == 'n')
            plain += '\n';
        else
            return std::nullopt;
    }
    return plain;
}

// Stores a number within its bounds; false when it is none or out of them.
bool TakeNumber(std::string_view value, int64_t& number, int64_t min = INT64_MIN,
                int64_t max = INT64_MAX) {
    const auto parsed = ParseInt64(value);
    if (!parsed || *parsed < min || *parsed > max)
        return false;
    number = *parsed;
    return true;
}

// Begins an entry of a list with its name, cut to nameMax; false when the name is malformed
// or the list is full.
template <class TEntry>
bool BeginEntry(std::vector<TEntry>& list, size_t countMax, size_t nameMax,
                std::string_view value) {
    const auto name = Unescape(value);
    if (!name || list.size() >= countMax)
        return false;
    list.emplace_back().Name = name->substr(0, nameMax);
    return true;
}

// The key of a list's entry or one of its fields: "term" or "term_...".
bool IsListKey(std::string_view key, std::string_view entryKey) {
    return key.starts_with(entryKey) &&
           (key.size() == entryKey.size() || key[entryKey.size()] == '_');
}

// Stores one field of a terminal; false when it is malformed or no terminal has begun.
bool TakeTerminalField(std::string_view key, std::string_view value, TWorkerStatus& status) {
    if (key == TerminalKey)
        return BeginEntry(status.Terminals, StatusTerminalsMax, StatusNameMax, value);
    if (status.Terminals.empty())
        return false;
    TTerminalStatus& terminal = status.Terminals.back();
    if (key == TerminalDeviceKey) {
        const auto device = Unescape(value);
        if (device)
            terminal.Device = device->substr(0, StatusDeviceMax);
        return device.has_value();
    }
    for (const TTerminalField& number : TerminalFields) {
        if (key == number.Key)
            return TakeNumber(value, terminal.*number.Member);
    }
    // A terminal field of a newer service.
    return true;
}

// Stores one field of another host; false when it is malformed or no host has begun.
bool TakeHostField(std::string_view key, std::string_view value, TWorkerStatus& status) {
    if (key == HostKey)
        return BeginEntry(status.OtherHosts, StatusHostsMax, StatusHostNameMax, value);
    if (status.OtherHosts.empty())
        return false;
    if (key == HostClaimsKey)
        return TakeNumber(value, status.OtherHosts.back().Claims, 0, StatusClaimsMax);
    // A host field of a newer service.
    return true;
}

// Stores one key=value field; false when the value is malformed.
bool TakeField(std::string_view field, TWorkerStatus& status) {
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view key = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    if (IsListKey(key, TerminalKey))
        return TakeTerminalField(key, value, status);
    if (IsListKey(key, HostKey))
        return TakeHostField(key, value, status);
    if (key == DatabaseErrorKey) {
        const auto text = Unescape(value);
        if (text)
            status.DatabaseError = *text;
        return text.has_value();
    }
    for (const TNumberField& number : NumberFields) {
        if (key == number.Key)
            return TakeNumber(value, status.*number.Member, number.Min, number.Max);
    }
    return true;
}

void AddField(std::string& line, std::string_view key, const std::string& value) {
    line += '\t';
    line += key;
    line += '=';
    line += value;
}

void AppendTerminal(std::string& line, const TTerminalStatus& terminal) {
    AddField(line, TerminalKey, Escape(terminal.Name, StatusNameMax));
    AddField(line, TerminalDeviceKey, Escape(terminal.Device, StatusDeviceMax));
    for (const TTerminalField& number : TerminalFields)
        AddField(line, number.Key, std::to_string(terminal.*number.Member));
}

} // namespace

std::string EncodeStatus(const TWorkerStatus& status) {
    std::string line(StatusRequest);
    // Clamped to the bounds the reader checks, so that the line is always read back.
    for (const TNumberField& number : NumberFields)
        AddField(line, number.Key,
                 std::to_string(std::clamp(status.*number.Member, number.Min, number.Max)));
    AddField(line, DatabaseErrorKey, Escape(status.DatabaseError));
    const size_t count = std::min(status.Terminals.size(), StatusTerminalsMax);
    for (size_t i = 0; i < count; ++i)
        AppendTerminal(line, status.Terminals[i]);
    const size_t hosts = std::min(status.OtherHosts.size(), StatusHostsMax);
    for (size_t i = 0; i < hosts; ++i) {
        AddField(line, HostKey, Escape(status.OtherHosts[i].Name, StatusHostNameMax));
        AddField(
            line, HostClaimsKey,
            std::to_string(std::clamp<int64_t>(status.OtherHosts[i].Claims, 0, StatusClaimsMax)));
    }
    line += '\n';
    return line;
}

std::optional<TWorkerStatus> DecodeStatus(std::string_view line) {
    if (line.substr(0, StatusRequest.size()) != StatusRequest)
        return std::nullopt;
    line.remove_prefix(StatusRequest.size());
    if (!line.empty() && line.front() != '\t')
        return std::nullopt;
    TWorkerStatus status;
    while (!line.empty()) {
        line.remove_prefix(1); // the tab
        const size_t end = line.find('\t');
        if (!TakeField(line.substr(0, end), status))
            return std::nullopt;
        line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    }
    return status;
}

} // namespace qvx
