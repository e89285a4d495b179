// Russian lines, JSON and the short line of the status.
#include "service/StatusReport.h"

#include "infra/Codepage.h"
#include "infra/Hex.h"
#include "processing/WorkThread.h"
#include "service/StatusWire.h"
#include "terminal/NetworkStatus.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

namespace qvx {

namespace {

struct TNames {
    const char* Text; // cp1251, for people
    const char* Name; // for JSON
};

TNames StartNames(int64_t startResult) {
    switch (startResult) {
    case -1:
        return {"запускается", "starting"};
    case 0:
        return {"ошибка запуска, ждёт перезагрузки настроек", "failed"};
    case StartWaitingForDatabase:
        return {"ждёт подключения к базе данных", "waiting_for_database"};
    default:
        return {"работает", "working"};
    }
}

TNames TerminalNames(int64_t state) {
    switch (state) {
    case 0:
        return {"создан", "created"};
    case 1:
        return {"открытие порта", "opening"};
    case 2:
        return {"инициализация", "initializing"};
    case 3:
        return {"работает", "working"};
    case 4:
        return {"остановлен", "stopped"};
    default:
        return {"не запущен", "none"};
    }
}

TNames DatabaseNames(int64_t state) {
    switch (static_cast<TDatabaseState>(state)) {
    case TDatabaseState::Unreachable:
        return {"недоступна", "unreachable"};
    case TDatabaseState::Reachable:
        return {"доступна", "reachable"};
    case TDatabaseState::Waiting:
        return {"служба ждёт подключения", "waiting"};
    default:
        return {"обращений ещё не было", "unknown"};
    }
}

int32_t Clamped(int64_t value) {
    return value < INT32_MIN || value > INT32_MAX ? -1 : static_cast<int32_t>(value);
}

// 0 stands for "never"; the caller words it.
std::string FormatTime(int64_t seconds, bool utc) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if ((utc ? gmtime_r(&time, &parts) : localtime_r(&time, &parts)) == nullptr)
        return std::to_string(seconds);
    char text[32];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%d.%m.%Y %H:%M:%S", &parts);
    return text;
}

std::string LocalTime(int64_t seconds) {
    return seconds == 0 ? std::string("нет") : FormatTime(seconds, false);
}

std::string AgeText(int64_t seconds) {
    if (seconds < 120)
        return std::to_string(seconds) + " с";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " мин";
    return std::to_string(seconds / 3600) + " ч " + std::to_string(seconds / 60 % 60) + " мин";
}

std::optional<int64_t> OldestAge(const TWorkerStatus& status) {
    if (status.OldestQueuedAt == 0)
        return std::nullopt;
    return std::max<int64_t>(status.Now - status.OldestQueuedAt, 0);
}

std::string SignalText(int64_t rssi) {
    const auto dbm = RssiToDbm(Clamped(rssi));
    return dbm ? "сигнал " + std::to_string(*dbm) + " дБм" : std::string("сигнал неизвестен");
}

std::string NetworkLine(const TWorkerStatus& status) {
    std::string line = std::string("Сеть: ") + RegistrationText(Clamped(status.Registration));
    if (status.NetworkCheckedAt == 0)
        return line;
    return line + ", " + SignalText(status.SignalRssi) + ", проверено " +
           LocalTime(status.NetworkCheckedAt);
}

std::string QueueLine(const TWorkerStatus& status) {
    std::string line = "Очередь на отправку: " + std::to_string(status.OutgoingCount);
    if (const auto age = OldestAge(status))
        line += ", самое старое ждёт " + AgeText(*age);
    return line;
}

std::string DatabaseErrorLine(const TWorkerStatus& status) {
    if (status.DatabaseError.empty())
        return "Последняя ошибка базы данных: нет";
    return "Последняя ошибка базы данных: " + LocalTime(status.DatabaseErrorAt) + " " +
           status.DatabaseError;
}

std::string OrNone(const std::string& text) {
    return text.empty() ? std::string("нет") : text;
}

// Writes one JSON object; texts arrive in cp1251 and leave as escaped UTF-8.
class TJsonWriter {
public:
    void Open(const char* key = nullptr) {
        Key(key);
        FText += '{';
        FFirst = true;
    }
    void Close() {
        FText += '}';
        FFirst = false;
    }
    void OpenArray(const char* key) {
        Key(key);
        FText += '[';
        FFirst = true;
    }
    void CloseArray() {
        FText += ']';
        FFirst = false;
    }
    void Number(const char* key, std::optional<int64_t> value) {
        if (!value)
            return Null(key);
        Key(key);
        FText += std::to_string(*value);
    }
    void Null(const char* key) {
        Key(key);
        FText += "null";
    }
    // Names are ASCII and need no escaping.
    void Name(const char* key, const char* name) {
        Key(key);
        FText += '"';
        FText += name;
        FText += '"';
    }
    void Text(const char* key, const std::string& cp1251) {
        if (cp1251.empty())
            return Null(key);
        Key(key);
        FText += '"';
        for (char c : Cp1251ToUtf8(cp1251))
            Escaped(c);
        FText += '"';
    }
    void Time(const char* key, int64_t seconds) {
        if (seconds == 0)
            return Null(key);
        Name(key, FormatTime(seconds, true).c_str());
    }
    std::string Take() { return std::move(FText) + "\n"; }

private:
    void Key(const char* key) {
        if (!FFirst)
            FText += ',';
        FFirst = false;
        if (key == nullptr)
            return;
        FText += '"';
        FText += key;
        FText += "\":";
    }
    void Escaped(char c) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            FText += '\\';
            FText += c;
        } else if (byte < 0x20) {
            FText += "\\u00";
            FText += HexDigits[byte >> 4];
            FText += HexDigits[byte & 0xF];
        } else {
            FText += c;
        }
    }

    std::string FText;
    bool FFirst = true;
};

// Why a terminal stays in its initialisation: the SIM wants a code the service will not send.
std::string PinWaitText(int64_t wait) {
    switch (wait) {
    case 1:
        return " (PIN код отвергнут SIM картой, ждёт другой PIN код)";
    case 2:
        return " (SIM карта требует PUK код)";
    case 3:
        return " (две попытки PIN кода на этой SIM карте: PIN код не посылается)";
    case 4:
        return " (попытка PIN кода не записана в файл состояния: PIN код не посылается)";
    default:
        return {};
    }
}

// The service, its terminal and the network.
void WriteState(TJsonWriter& json, const TWorkerStatus& status) {
    json.Open("service");
    json.Name("state", StartNames(status.StartResult).Name);
    json.Time("started_at", status.StartedAt);
    json.Time("time", status.Now);
    json.Close();
    json.Open("terminal");
    json.Number("state", status.TerminalState);
    json.Name("name", TerminalNames(status.TerminalState).Name);
    json.Time("since", status.TerminalSince);
    json.Name("pin_wait", status.PinWait == 1   ? "pin_refused"
                          : status.PinWait == 2 ? "puk_required"
                          : status.PinWait == 3 ? "pin_attempts_spent"
                          : status.PinWait == 4 ? "pin_not_recorded"
                                                : "none");
    json.Close();
    json.Open("network");
    json.Number("registration", status.Registration);
    json.Name("name", RegistrationName(Clamped(status.Registration)));
    json.Number("signal_rssi", status.SignalRssi);
    json.Number("signal_dbm", RssiToDbm(Clamped(status.SignalRssi)));
    json.Time("checked_at", status.NetworkCheckedAt);
    json.Close();
}

// The messages, the database and the logs.
void WriteWork(TJsonWriter& json, const TWorkerStatus& status, const TLogErrors& logs) {
    json.Open("queue");
    json.Number("outgoing", status.OutgoingCount);
    json.Number("oldest_age_sec", OldestAge(status));
    json.Close();
    json.Open("counts");
    json.Number("acknowledged", status.AcknowledgedCount);
    json.Number("given_up", status.GivenUpCount);
    json.Number("received", status.ReceivedCount);
    json.Number("requests_answered", status.RequestsAnswered);
    json.Close();
    json.Time("last_acknowledged_at", status.LastAcknowledgedAt);
    json.Time("last_received_at", status.LastReceivedAt);
    json.Open("state_file");
    json.Number("unstamped", status.KeptUnstamped);
    json.Number("given_up", status.KeptGivenUp);
    json.Number("undeletable", status.KeptUndeletable);
    json.Number("refused_pins", status.KeptRefusedPins);
    json.Close();
    json.Open("database");
    json.Name("state", DatabaseNames(status.DatabaseState).Name);
    json.Text("last_error", status.DatabaseError);
    json.Time("last_error_at", status.DatabaseErrorAt);
    json.Close();
    json.Open("logs");
    json.Text("service_last_error", logs.Service);
    json.Text("terminal_last_error", logs.Terminal);
    json.Close();
}

std::string LogErrorOf(const TLogErrors& logs, size_t index) {
    if (index == 0)
        return logs.Terminal;
    return index < logs.Terminals.size() ? logs.Terminals[index] : std::string();
}

// With several terminals, the state of each in one line, and its log's last error under it.
void AddTerminalLines(std::vector<std::string>& lines, const TWorkerStatus& status,
                      const TLogErrors& logs) {
    for (size_t i = 0; i < status.Terminals.size(); ++i) {
        const TTerminalStatus& terminal = status.Terminals[i];
        std::string line = "Терминал " + terminal.Name + " (" + OrNone(terminal.Device) +
                           "): " + TerminalNames(terminal.State).Text +
                           ", сеть: " + RegistrationText(Clamped(terminal.Registration)) + ", " +
                           SignalText(terminal.SignalRssi) + ", в работе " +
                           std::to_string(terminal.InFlight) + ", отправлено сегодня " +
                           std::to_string(terminal.SentToday);
        if (terminal.DailyLimit > 0)
            line += " из " + std::to_string(terminal.DailyLimit);
        if (terminal.SuspendedUntil != 0)
            line += ", приостановлен до " + LocalTime(terminal.SuspendedUntil);
        lines.push_back(line);
        if (const std::string error = LogErrorOf(logs, i); !error.empty() && i != 0)
            lines.push_back("  последняя ошибка в журнале " + TerminalLogName(status, i) + ": " +
                            error);
    }
}

void WriteTerminals(TJsonWriter& json, const TWorkerStatus& status, const TLogErrors& logs) {
    json.OpenArray("terminals");
    for (size_t i = 0; i < status.Terminals.size(); ++i) {
        const TTerminalStatus& terminal = status.Terminals[i];
        json.Open();
        json.Text("name", terminal.Name);
        json.Text("device", terminal.Device);
        json.Number("state", terminal.State);
        json.Name("state_name", TerminalNames(terminal.State).Name);
        json.Number("registration", terminal.Registration);
        json.Name("registration_name", RegistrationName(Clamped(terminal.Registration)));
        json.Number("signal_rssi", terminal.SignalRssi);
        json.Number("signal_dbm", RssiToDbm(Clamped(terminal.SignalRssi)));
        json.Number("in_flight", terminal.InFlight);
        json.Number("sent_today", terminal.SentToday);
        json.Number("daily_limit", terminal.DailyLimit);
        json.Time("suspended_until", terminal.SuspendedUntil);
        json.Text("log_last_error", LogErrorOf(logs, i));
        json.Close();
    }
    json.CloseArray();
}

// The claims this host holds, and the other hosts when there are any.
void AddHostLines(std::vector<std::string>& lines, const TWorkerStatus& status) {
    std::string claims = "Захвачено сообщений: " + std::to_string(status.Claims);
    if (status.ClaimGraceUntil != 0)
        claims += ", новые захватываются с " + LocalTime(status.ClaimGraceUntil);
    lines.push_back(claims);
    if (status.OtherHosts.empty())
        return;
    std::string hosts = "Другие службы на этой базе данных: ";
    for (const THostStatus& host : status.OtherHosts) {
        if (&host != &status.OtherHosts.front())
            hosts += ", ";
        hosts += host.Name + " (захвачено " + std::to_string(host.Claims) + ")";
    }
    lines.push_back(hosts);
}

void WriteHosts(TJsonWriter& json, const TWorkerStatus& status) {
    json.Open("claims");
    json.Number("held", status.Claims);
    json.Time("grace_until", status.ClaimGraceUntil);
    json.Close();
    json.OpenArray("hosts");
    for (const THostStatus& host : status.OtherHosts) {
        json.Open();
        json.Text("name", host.Name);
        json.Number("claims", host.Claims);
        json.Close();
    }
    json.CloseArray();
}

// Terminal names are Latin letters, digits, '-' and '_'; anything else never reaches a path.
bool FileNamePart(const std::string& name) {
    return !name.empty() && name.size() <= StatusNameMax &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

} // namespace

std::string TerminalLogName(const TWorkerStatus& status, size_t index) {
    if (index == 0)
        return "Siemens.log";
    if (index >= status.Terminals.size() || !FileNamePart(status.Terminals[index].Name))
        return {};
    return "Siemens-" + status.Terminals[index].Name + ".log";
}

std::vector<std::string> StatusLines(const TWorkerStatus& status, const TLogErrors& logs) {
    std::vector<std::string> lines = {
        std::string("Служба: ") + StartNames(status.StartResult).Text + ", запущена " +
            LocalTime(status.StartedAt),
        std::string("Терминал: ") + TerminalNames(status.TerminalState).Text + " с " +
            LocalTime(status.TerminalSince) + PinWaitText(status.PinWait),
        NetworkLine(status),
        QueueLine(status),
        "С начала работы: подтверждено " + std::to_string(status.AcknowledgedCount) +
            ", отброшено " + std::to_string(status.GivenUpCount) + ", принято " +
            std::to_string(status.ReceivedCount) + ", обслужено запросов " +
            std::to_string(status.RequestsAnswered),
        "Последнее подтверждение: " + LocalTime(status.LastAcknowledgedAt),
        "Последний приём: " + LocalTime(status.LastReceivedAt),
        "Файл состояния: не отмечено в базе данных " + std::to_string(status.KeptUnstamped) +
            ", отброшено в последний час " + std::to_string(status.KeptGivenUp) +
            ", неудаляемых SMS на SIM карте " + std::to_string(status.KeptUndeletable) +
            ", отвергнутых PIN кодов " + std::to_string(status.KeptRefusedPins),
        std::string("База данных: ") + DatabaseNames(status.DatabaseState).Text,
        DatabaseErrorLine(status),
        "Последняя ошибка в журнале службы: " + OrNone(logs.Service),
        "Последняя ошибка в журнале терминала: " + OrNone(logs.Terminal),
    };
    // One terminal is all of the lines above.
    if (status.Terminals.size() > 1)
        AddTerminalLines(lines, status, logs);
    AddHostLines(lines, status);
    return lines;
}

std::string StatusJson(const TWorkerStatus& status, const TLogErrors& logs) {
    TJsonWriter json;
    json.Open();
    WriteState(json, status);
    WriteWork(json, status, logs);
    WriteTerminals(json, status, logs);
    WriteHosts(json, status);
    json.Close();
    return json.Take();
}

std::string StatusShort(const TWorkerStatus& status) {
    std::string line = std::string("Служба: ") + StartNames(status.StartResult).Text +
                       "; терминал: " + TerminalNames(status.TerminalState).Text +
                       PinWaitText(status.PinWait);
    if (status.Terminals.size() > 1) {
        const auto working = std::count_if(status.Terminals.begin(), status.Terminals.end(),
                                           [](const TTerminalStatus& t) { return t.State == 3; });
        line += "; терминалов работает: " + std::to_string(working) + " из " +
                std::to_string(status.Terminals.size());
    }
    if (status.NetworkCheckedAt != 0)
        line += std::string("; сеть: ") + RegistrationText(Clamped(status.Registration)) + ", " +
                SignalText(status.SignalRssi);
    return line + "; к отправке: " + std::to_string(status.OutgoingCount) +
           "; подтверждено: " + std::to_string(status.AcknowledgedCount) +
           "; принято: " + std::to_string(status.ReceivedCount) +
           "; база данных: " + DatabaseNames(status.DatabaseState).Text;
}

} // namespace qvx
