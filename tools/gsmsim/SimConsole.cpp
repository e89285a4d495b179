#include "gsmsim/SimConsole.h"

#include <charconv>

namespace qvx {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Splits off the first word.
std::string_view NextWord(std::string_view& text) {
    text = Trim(text);
    size_t end = text.find_first_of(" \t");
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : Trim(text.substr(end));
    return word;
}

bool ParseInt(std::string_view text, int64_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string JoinIndexes(const std::vector<int32_t>& indexes) {
    std::string text;
    for (int32_t index : indexes)
        text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

} // namespace

std::string UnescapeText(std::string_view text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        char code = text[++i];
        if (code == 'r')
            bytes += '\r';
        else if (code == 'n')
            bytes += '\n';
        else if (code == 't')
            bytes += '\t';
        else if (code == '0')
            bytes += '\0';
        else if (code == 'x' && i + 2 < text.size()) {
            unsigned value = 0;
            auto [end, error] =
                std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
            bool whole = error == std::errc() && end == text.data() + i + 3;
            bytes += whole ? std::string(1, static_cast<char>(value)) : std::string("\\x");
            i += whole ? 2 : 0;
        } else {
            bytes += code; // "\\" and any other escaped character stand for themselves
        }
    }
    return bytes;
}

std::string TSimConsole::Help() {
    return "commands:\n"
           "  store NUMBER TEXT...     store a received message (UTF-8 text; +digits: "
           "international)\n"
           "  store-pdu HEX            store a raw SMS-DELIVER PDU (SMS centre address included)\n"
           "  stored                   list the SIM store\n"
           "  submitted                list the submitted messages, decoded\n"
           "  inject TEXT              send bytes to the driver (\\r \\n \\t \\0 \\xHH escapes)\n"
           "  unplug | plug            pull the terminal's cable, put it back (a new pty)\n"
           "  reply ok | cms-error N [COUNT] | no-prompt [COUNT] | no-answer [COUNT]\n"
           "  refuse NUMBER [N] | refuse NUMBER off\n"
           "                           the network refuses that number (+CMS ERROR: N, 21)\n"
           "  pin PIN | pin off        require a PIN after each power-on\n"
           "  sim-busy N               answer the next N at+csca? with SIM busy\n"
           "  creg STAT | creg error   registration at+creg? reports: 0 none, 1 home,\n"
           "                           2 searching, 3 denied, 4 unknown, 5 roaming\n"
           "  csq RSSI | csq error     signal at+csq reports: 0..31, 99 unknown\n"
           "  delay MS | baud N | pad BYTES\n"
           "                           delay answers, throttle output, pad the listing\n"
           "  silent on|off | endless on|off | delete-fails on|off\n"
           "  text-mode on|off | pdu-refused on|off\n"
           "                           left in text mode; at+cmgf=0 answers ERROR\n"
           "  delete-error INDEX N     at+cmgd of INDEX answers +CMS ERROR N (0: deletes again)\n"
           "  help | quit\n";
}

std::string TSimConsole::Execute(std::string_view line, bool& quit) {
    std::string_view arguments = line;
    std::string_view command = NextWord(arguments);
    if (command.empty())
        return {};
    if (command == "quit" || command == "exit") {
        quit = true;
        return "bye\n";
    }
    if (command == "help")
        return Help();
    if (command == "store")
        return Store(arguments);
    if (command == "store-pdu")
        return StorePdu(arguments);
    if (command == "stored")
        return ListStored();
    if (command == "submitted")
        return ListSubmitted();
    if (command == "inject") {
        FSim.InjectBytes(UnescapeText(arguments));
        return "injected\n";
    }
    if (command == "unplug")
        return FSim.Unplug() ? "unplugged\n" : "error: " + FSim.LastError() + "\n";
    if (command == "plug")
        return FSim.Plug() ? PlugState() : "error: " + FSim.LastError() + "\n";
    if (command == "reply")
        return SetReply(arguments);
    if (command == "refuse")
        return SetRefused(arguments);
    if (command == "pin") {
        FSim.SetPin(arguments == "off" ? std::string() : std::string(arguments));
        return "ok\n";
    }
    if (command == "sim-busy" || command == "delay" || command == "baud" || command == "pad")
        return SetNumber(command, arguments);
    if (command == "creg" || command == "csq")
        return SetNetwork(command, arguments);
    if (command == "silent" || command == "endless" || command == "delete-fails" ||
        command == "text-mode" || command == "pdu-refused")
        return SetSwitch(command, arguments);
    if (command == "delete-error")
        return SetDeleteError(arguments);
    return "error: unknown command '" + std::string(command) + "' (try help)\n";
}

std::string TSimConsole::PlugState() const {
    std::string text = "terminal " + FSim.SlavePath();
    if (!FSim.LinkPath().empty())
        text += " (link " + FSim.LinkPath() + ")";
    return text + "\n";
}

std::string TSimConsole::Store(std::string_view arguments) {
    std::string_view number = NextWord(arguments);
    if (number.empty())
        return "error: store NUMBER TEXT...\n";
    std::vector<int32_t> indexes = FSim.StoreText(number, arguments);
    if (indexes.empty())
        return "error: not stored (bad number or the SIM store is full)\n";
    return "stored at " + JoinIndexes(indexes) + "\n";
}

std::string TSimConsole::StorePdu(std::string_view arguments) {
    int32_t index = FSim.StorePdu(Trim(arguments));
    if (index < 0)
        return "error: not stored (not hex octets with an SMS centre part, or the store is full)\n";
    return "stored at " + std::to_string(index) + "\n";
}

std::string TSimConsole::ListSubmitted() const {
    std::string text;
    size_t number = 0;
    for (const TSubmittedSms& sms : FSim.Submitted()) {
        text += std::to_string(++number) + ". " + DescribeSubmit(sms.View);
        text += sms.Accepted ? "\n" : " (refused)\n";
    }
    return text.empty() ? "nothing submitted\n" : text;
}

std::string TSimConsole::ListStored() const {
    std::string text;
    for (const TStoredSms& sms : FSim.Stored())
        text += std::to_string(sms.Index) + " stat " + std::to_string(sms.Status) + " length " +
                std::to_string(sms.Length) + ": " + sms.Pdu + "\n";
    return text.empty() ? "the SIM store is empty\n" : text;
}

std::string TSimConsole::SetReply(std::string_view arguments) {
    std::string_view mode = NextWord(arguments);
    int64_t code = 500;
    if (mode == "cms-error" && !ParseInt(NextWord(arguments), code))
        return "error: reply cms-error N [COUNT]\n";
    int64_t count = 0;
    if (!arguments.empty() && (!ParseInt(arguments, count) || count < 0 || count > INT32_MAX))
        return "error: COUNT must be a number\n";
    TSubmitReply reply;
    if (mode == "ok")
        reply = TSubmitReply::Ok;
    else if (mode == "cms-error")
        reply = TSubmitReply::CmsError;
    else if (mode == "no-prompt")
        reply = TSubmitReply::NoPrompt;
    else if (mode == "no-answer")
        reply = TSubmitReply::NoFinalAnswer;
    else
        return "error: reply ok | cms-error N [COUNT] | no-prompt [COUNT] | no-answer [COUNT]\n";
    FSim.SetSubmitReply(reply, static_cast<int32_t>(count), static_cast<int32_t>(code));
    return "ok\n";
}

std::string TSimConsole::SetRefused(std::string_view arguments) {
    const std::string_view number = NextWord(arguments);
    int64_t code = 21; // short message transfer rejected (3GPP TS 24.011)
    const bool valid =
        !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
    if (!valid || (!arguments.empty() && arguments != "off" &&
                   (!ParseInt(arguments, code) || code < 1 || code > 999)))
        return "error: refuse NUMBER [N] | refuse NUMBER off\n";
    FSim.SetRefusedNumber(std::string(number), arguments == "off" ? 0 : static_cast<int32_t>(code));
    return "ok\n";
}

std::string TSimConsole::SetDeleteError(std::string_view arguments) {
    int64_t index = 0;
    int64_t code = 0;
    if (!ParseInt(NextWord(arguments), index) || !ParseInt(arguments, code) || index < 0 ||
        index > INT32_MAX || code < 0 || code > INT32_MAX)
        return "error: delete-error INDEX N\n";
    FSim.SetDeleteError(static_cast<int32_t>(index), static_cast<int32_t>(code));
    return "ok\n";
}

std::string TSimConsole::SetNumber(std::string_view command, std::string_view arguments) {
    int64_t value = 0;
    if (!ParseInt(arguments, value) || value < 0 || value > INT32_MAX)
        return "error: " + std::string(command) + " takes a number\n";
    if (command == "sim-busy")
        FSim.SetSimBusyCount(static_cast<int32_t>(value));
    else if (command == "delay")
        FSim.SetAnswerDelayMs(static_cast<uint32_t>(value));
    else if (command == "baud")
        FSim.SetBaudRate(static_cast<int32_t>(value));
    else
        FSim.SetListingPadBytes(static_cast<size_t>(value));
    return "ok\n";
}

std::string TSimConsole::SetNetwork(std::string_view command, std::string_view arguments) {
    const bool registration = command == "creg";
    int64_t value = -1;
    if (arguments != "error") {
        const int64_t max = registration ? 10 : 99;
        if (!ParseInt(arguments, value) || value < 0 || value > max)
            return "error: " + std::string(command) +
                   (registration ? " STAT (0..10) | error\n" : " RSSI (0..31, 99) | error\n");
    }
    if (registration)
        FSim.SetRegistration(static_cast<int32_t>(value));
    else
        FSim.SetSignalRssi(static_cast<int32_t>(value));
    return "ok\n";
}

std::string TSimConsole::SetSwitch(std::string_view command, std::string_view arguments) {
    if (arguments != "on" && arguments != "off")
        return "error: " + std::string(command) + " on|off\n";
    bool on = arguments == "on";
    if (command == "silent")
        FSim.SetSilent(on);
    else if (command == "endless")
        FSim.SetEndless(on);
    else if (command == "text-mode")
        FSim.SetTextMode(on);
    else if (command == "pdu-refused")
        FSim.SetPduModeRefused(on);
    else
        FSim.SetDeleteFails(on);
    return "ok\n";
}

TSimRouter::TSimRouter(const std::vector<TGsmSimulator*>& simulators) : FSims(simulators) {
    for (TGsmSimulator* sim : FSims)
        FConsoles.emplace_back(*sim);
}

std::string TSimRouter::Execute(std::string_view line, int32_t& current, bool& quit) {
    std::string_view arguments = line;
    std::string_view command = NextWord(arguments);
    if (command.size() > 1 && command.front() == '@') {
        int32_t once = current;
        std::string refusal = Select(command.substr(1), once);
        if (!refusal.empty())
            return refusal;
        return FConsoles[static_cast<size_t>(once - 1)].Execute(arguments, quit);
    }
    if (command == "terminal") {
        std::string refusal = Select(arguments, current);
        return refusal.empty() ? "terminal " + std::to_string(current) + "\n" : refusal;
    }
    if (command == "terminals")
        return List();
    std::string reply = FConsoles[static_cast<size_t>(current - 1)].Execute(line, quit);
    if (command == "help" && FSims.size() > 1)
        reply += "  @N COMMAND               carry out one command on terminal N\n"
                 "  terminal N | terminals   address terminal N from now on, list the terminals\n";
    return reply;
}

std::string TSimRouter::Select(std::string_view number, int32_t& current) const {
    int64_t value = 0;
    if (!ParseInt(Trim(number), value) || value < 1 || value > static_cast<int64_t>(FSims.size()))
        return "error: no terminal '" + std::string(Trim(number)) + "' (1.." +
               std::to_string(FSims.size()) + ")\n";
    current = static_cast<int32_t>(value);
    return {};
}

std::string TSimRouter::List() const {
    std::string text;
    for (size_t i = 0; i < FSims.size(); ++i) {
        const TGsmSimulator& sim = *FSims[i];
        text += std::to_string(i + 1) + " " + (sim.Plugged() ? sim.SlavePath() : "unplugged");
        if (!sim.LinkPath().empty())
            text += " (link " + sim.LinkPath() + ")";
        text += ", " + std::to_string(sim.SubmittedCount()) + " submitted\n";
    }
    return text;
}

} // namespace qvx
