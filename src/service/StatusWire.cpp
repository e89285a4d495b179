// Encoding and decoding of the status line.
#include "service/StatusWire.h"

#include "infra/Decimal.h"
#include "service/ControlChannel.h"

#include <algorithm>

namespace qvx {

namespace {

struct TNumberField {
    const char* Key;
    int64_t TWorkerStatus::*Member;
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

// Stores one field of a terminal; false when it is malformed or no terminal has begun.
bool TakeTerminalField(std::string_view key, std::string_view value, TWorkerStatus& status) {
    if (key == TerminalKey) {
        const auto name = Unescape(value);
        if (!name || status.Terminals.size() >= StatusTerminalsMax)
            return false;
        status.Terminals.emplace_back().Name = name->substr(0, StatusNameMax);
        return true;
    }
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
        if (key != number.Key)
            continue;
        const auto parsed = ParseInt64(value);
        if (parsed)
            terminal.*number.Member = *parsed;
        return parsed.has_value();
    }
    // A terminal field of a newer service.
    return true;
}

// Stores one key=value field; false when the value is malformed.
bool TakeField(std::string_view field, TWorkerStatus& status) {
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view key = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    if (key == TerminalKey || key.substr(0, TerminalKey.size() + 1) == "term_")
        return TakeTerminalField(key, value, status);
    if (key == DatabaseErrorKey) {
        const auto text = Unescape(value);
        if (text)
            status.DatabaseError = *text;
        return text.has_value();
    }
    for (const TNumberField& number : NumberFields) {
        if (key != number.Key)
            continue;
        const auto parsed = ParseInt64(value);
        if (parsed)
            status.*number.Member = *parsed;
        return parsed.has_value();
    }
    return true;
}

void AppendTerminal(std::string& line, const TTerminalStatus& terminal) {
    const auto add = [&line](std::string_view key, const std::string& value) {
        line += '\t';
        line += key;
        line += '=';
        line += value;
    };
    add(TerminalKey, Escape(terminal.Name, StatusNameMax));
    add(TerminalDeviceKey, Escape(terminal.Device, StatusDeviceMax));
    for (const TTerminalField& number : TerminalFields)
        add(number.Key, std::to_string(terminal.*number.Member));
}

} // namespace

std::string EncodeStatus(const TWorkerStatus& status) {
    std::string line(StatusRequest);
    for (const TNumberField& number : NumberFields) {
        line += '\t';
        line += number.Key;
        line += '=';
        line += std::to_string(status.*number.Member);
    }
    line += '\t';
    line += DatabaseErrorKey;
    line += '=';
    line += Escape(status.DatabaseError);
    const size_t count = std::min(status.Terminals.size(), StatusTerminalsMax);
    for (size_t i = 0; i < count; ++i)
        AppendTerminal(line, status.Terminals[i]);
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
