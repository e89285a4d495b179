#include "processing/ServiceState.h"

#include "infra/Decimal.h"
#include "infra/Hex.h"
#include "infra/Sha256.h"

#include <algorithm>
#include <sstream>

namespace qvx {

namespace {

constexpr int32_t Version = 2;
constexpr size_t IccidDigitsMax = 22;
constexpr size_t SaltHexMax = 64;
constexpr size_t HashHex = 64;
constexpr size_t ImsiDigitsMax = 15;
constexpr size_t TerminalNameMax = 32;
constexpr size_t HostNameMax = 63;
constexpr std::string_view TerminalSim = "terminal:";

std::string TimeText(std::time_t t) {
    return UtcText(t, "%Y-%m-%dT%H:%M:%SZ");
}

bool ParseTime(const std::string& text, std::time_t& t) {
    std::tm utc{};
    char zone = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &zone) != 7 ||
        zone != 'Z')
        return false;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    t = timegm(&utc);
    return t != -1;
}

bool IsHex(const std::string& text, size_t maxSize) {
    return !text.empty() && text.size() <= maxSize &&
           std::all_of(text.begin(), text.end(), [](char c) { return HexValue(c) != NotHex; });
}

bool ParseInt(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    const std::optional<int64_t> parsed = ParseInt64(text);
    value = parsed.value_or(0);
    return parsed && value >= low && value <= high;
}

// Each kind of record and the version of the file that brought it; 0 for a kind not known.
int32_t KindSince(std::string_view kind) {
    constexpr std::pair<std::string_view, int32_t> Kinds[] = {
        {"unstamped", 1}, {"givenup", 1},   {"pin", 1},   {"undeletable", 1}, {"sim", 1},
        {"host", 1},      {"concatref", 1}, {"entry", 2}, {"pinsent", 2},
    };
    for (const auto& [name, since] : Kinds)
        if (name == kind)
            return since;
    return 0;
}

// One record's fields after its kind; false when they are not what the kind needs.
bool ParseRecord(const std::string& kind, const std::vector<std::string>& f, TServiceState& s) {
    std::time_t at = 0;
    if (f.empty() || !ParseTime(f.back(), at))
        return false;
    int64_t number = 0;
    if ((kind == "unstamped" || kind == "givenup") && f.size() == 2) {
        if (!ParseInt(f[0], INT32_MIN, INT32_MAX, number))
            return false;
        (kind == "unstamped" ? s.Unstamped : s.GivenUp)[static_cast<int32_t>(number)] = at;
        return true;
    }
    // Version 1 wrote "pin" before the PIN went and read it as refused: it stays so.
    if ((kind == "pin" || kind == "pinsent") && f.size() == 4) {
        const bool ok = IsHex(f[0], IccidDigitsMax) && IsHex(f[1], SaltHexMax) &&
                        f[2].size() == HashHex && IsHex(f[2], HashHex);
        if (ok)
            s.PinAttempts.push_back({f[0], f[1], f[2], at, kind == "pin"});
        return ok;
    }
    // Version 1 kept terminal 1's entries alone, without the SIM.
    if (kind == "undeletable" && f.size() == 3) {
        if (!ParseInt(f[0], 0, INT32_MAX, number) || !IsHex(f[1], TServiceState::PduHexMax))
            return false;
        s.Undeletable.push_back(
            {std::string(TerminalSim) + "1", static_cast<int32_t>(number), f[1], at});
        return true;
    }
    if (kind == "entry" && f.size() == 4) {
        if (!EntrySimAllowed(f[0]) || !ParseInt(f[1], 0, INT32_MAX, number) ||
            !IsHex(f[2], TServiceState::PduHexMax))
            return false;
        s.Undeletable.push_back({f[0], static_cast<int32_t>(number), f[2], at});
        return true;
    }
    if (kind == "sim" && f.size() == 3) {
        if (!SimKeyAllowed(f[0]) || !ParseInt(f[1], 0, INT32_MAX, number))
            return false;
        s.SimCounts[f[0]] = {at, static_cast<int32_t>(number)};
        return true;
    }
    if (kind == "host" && f.size() == 2) {
        if (!HostNameAllowed(f[0]))
            return false;
        s.Hosts[f[0]] = at;
        return true;
    }
    if (kind == "concatref" && f.size() == 2) {
        if (!ParseInt(f[0], 0, 255, number))
            return false;
        s.NextConcatRef = static_cast<uint8_t>(number);
        return true;
    }
    return false;
}

size_t TrimOldest(std::map<std::string, TServiceState::TSimCount>& sims, size_t max) {
    if (sims.size() <= max)
        return 0;
    std::vector<std::pair<std::time_t, std::string>> byPeriod;
    for (const auto& [key, sim] : sims)
        byPeriod.emplace_back(sim.PeriodStart, key);
    std::sort(byPeriod.begin(), byPeriod.end());
    const size_t excess = sims.size() - max;
    for (size_t i = 0; i < excess; ++i)
        sims.erase(byPeriod[i].second);
    return excess;
}

template <typename TRecord> size_t TrimOldest(std::vector<TRecord>& list, size_t max) {
    if (list.size() <= max)
        return 0;
    std::stable_sort(list.begin(), list.end(),
                     [](const TRecord& a, const TRecord& b) { return a.At < b.At; });
    const size_t excess = list.size() - max;
    list.erase(list.begin(), list.begin() + std::ptrdiff_t(excess));
    return excess;
}

template <typename TKey> size_t TrimOldest(std::map<TKey, std::time_t>& records, size_t max) {
    if (records.size() <= max)
        return 0;
    std::vector<std::pair<std::time_t, TKey>> byTime;
    for (const auto& [key, at] : records)
        byTime.emplace_back(at, key);
    std::sort(byTime.begin(), byTime.end());
    const size_t excess = records.size() - max;
    for (size_t i = 0; i < excess; ++i)
        records.erase(byTime[i].second);
    return excess;
}

} // namespace

bool SimKeyAllowed(std::string_view key) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto nameChar = [&](char c) {
        return digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
    };
    if (key.starts_with(TerminalSim)) {
        const std::string_view name = key.substr(TerminalSim.size());
        return !name.empty() && name.size() <= TerminalNameMax &&
               std::all_of(name.begin(), name.end(), nameChar);
    }
    return !key.empty() && key.size() <= ImsiDigitsMax &&
           std::all_of(key.begin(), key.end(), digit);
}

bool EntrySimAllowed(std::string_view key) {
    constexpr size_t NumberDigitsMax = 4;
    if (!key.starts_with(TerminalSim)) {
        return !key.empty() && key.size() <= IccidDigitsMax &&
               std::all_of(key.begin(), key.end(), [](char c) { return HexValue(c) != NotHex; });
    }
    const std::string_view number = key.substr(TerminalSim.size());
    return !number.empty() && number.size() <= NumberDigitsMax && number[0] != '0' &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HostNameAllowed(std::string_view name) {
    const auto plain = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '-' || c == '_' || c == '.' || c == '@';
    };
    return !name.empty() && name.size() <= HostNameMax &&
           std::all_of(name.begin(), name.end(), plain);
}

std::string UtcText(std::time_t t, const char* format) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[64];
    return std::strftime(text, sizeof text, format, &utc) > 0 ? text : "";
}

size_t TServiceState::Trim() {
    return TrimOldest(Unstamped, MessagesMax) + TrimOldest(GivenUp, MessagesMax) +
           TrimOldest(PinAttempts, PinsMax) + TrimOldest(Undeletable, EntriesMax) +
           TrimOldest(SimCounts, SimsMax) + TrimOldest(Hosts, HostsMax);
}

std::string PinAttemptHash(std::string_view salt, std::string_view iccid, std::string_view pin) {
    std::string data;
    data.append(salt).append(":").append(iccid).append(":").append(pin);
    return Sha256Hex(data);
}

std::string FormatState(const TServiceState& state, std::time_t now) {
    std::ostringstream out;
    out << "# QuorvexSMS state: what the service remembers across a restart. Written by the\n"
           "# service; times in UTC. Stop the service before changing it.\n"
        << "version " << Version << "\n";
    for (const auto& [id, at] : state.Unstamped)
        out << "unstamped " << id << ' ' << TimeText(at) << '\n';
    for (const auto& [id, at] : state.GivenUp)
        out << "givenup " << id << ' ' << TimeText(at) << '\n';
    for (const auto& pin : state.PinAttempts)
        out << (pin.Refused ? "pin " : "pinsent ") << pin.Iccid << ' ' << pin.Salt << ' '
            << pin.Hash << ' ' << TimeText(pin.At) << '\n';
    for (const auto& entry : state.Undeletable)
        if (EntrySimAllowed(entry.Sim))
            out << "entry " << entry.Sim << ' ' << entry.Index << ' ' << entry.Pdu << ' '
                << TimeText(entry.At) << '\n';
    // The time of a SIM's record is the start of its daily period. A record that could not be
    // read back would only be dropped by the next start, and one without a count says
    // nothing: neither is written.
    for (const auto& [key, sim] : state.SimCounts)
        if (SimKeyAllowed(key) && sim.Count > 0 && sim.PeriodStart > 0)
            out << "sim " << key << ' ' << sim.Count << ' ' << TimeText(sim.PeriodStart) << '\n';
    for (const auto& [name, at] : state.Hosts)
        if (HostNameAllowed(name))
            out << "host " << name << ' ' << TimeText(at) << '\n';
    if (state.NextConcatRef)
        out << "concatref " << int(*state.NextConcatRef) << ' ' << TimeText(now) << '\n';
    return out.str();
}

namespace {

// The words of one line: its kind and at most FieldsMax fields, more than any kind has.
constexpr size_t FieldsMax = 8;

void Drop(TStateReading& reading, int32_t line, std::string why) {
    ++reading.DroppedCount;
    if (reading.Dropped.size() < TStateReading::DroppedShownMax)
        reading.Dropped.push_back({line, std::move(why)});
}

// A kind unknown here is no damage in a newer file, which may well add kinds.
void ReadRecord(const std::string& kind, const std::vector<std::string>& fields, int32_t line,
                TServiceState& state, TStateReading& reading) {
    const int32_t since = KindSince(kind);
    if (since == 0 && reading.Version > Version) {
        ++reading.NewerSkipped;
        return;
    }
    if (since == 0)
        Drop(reading, line, "неизвестная запись");
    else if (since > reading.Version)
        Drop(reading, line,
             "запись " + kind + " не бывает в файле версии " + std::to_string(reading.Version));
    else if (!ParseRecord(kind, fields, state))
        Drop(reading, line, "неверная запись " + kind);
}

} // namespace

TStateReading ParseState(std::string_view text, TServiceState& state) {
    state = {};
    TStateReading reading;
    for (int32_t line = 1; !text.empty(); ++line) {
        const size_t end = text.find('\n');
        std::istringstream words{std::string(text.substr(0, end))};
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string kind, word;
        std::vector<std::string> fields;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        while (words >> word && fields.size() < FieldsMax)
            fields.push_back(word);
        if (reading.Version != 0) {
            ReadRecord(kind, fields, line, state, reading);
            continue;
        }
        int64_t version = 0;
        if (kind != "version" || fields.size() != 1 || !ParseInt(fields[0], 1, INT32_MAX, version))
            return {}; // records before any version line: not this program's file
        reading.Version = static_cast<int32_t>(version);
    }
    return reading;
}

} // namespace qvx
