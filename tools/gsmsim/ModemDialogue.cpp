// Framing of the AT line and the terminal-wide commands: echo, error mode, PIN, SMS centre.
#include "gsmsim/ModemDialogue.h"

#include <algorithm>

namespace qvx {

namespace {

constexpr char CtrlZ = 0x1A;
constexpr char Escape = 0x1B;

std::string Lower(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// "at+cmgd=3" -> "at+cmgd", "at+cpin?" -> "at+cpin?", "atq0v1e0" -> "atq0v1e0".
std::string CommandHead(const std::string& lower) {
    size_t equals = lower.find('=');
    return equals == std::string::npos ? lower : lower.substr(0, equals);
}

} // namespace

void TModemDialogue::Feed(std::string_view bytes, TModemOutputs& out) {
    for (char c : bytes) {
        if (FInPdu)
            FeedPduByte(c, out);
        else
            FeedCommandByte(c, out);
    }
}

void TModemDialogue::PowerOn() {
    FEcho = true;
    FErrorMode = 0;
    FPinGiven = false;
    FClip = false;
    FTextMode = FSettings.TextModeAtPowerOn;
    FInPdu = false;
    FLine.clear();
    FLineOverflow = false;
    FPdu.clear();
    FPduOverflow = false;
}

void TModemDialogue::FeedCommandByte(char c, TModemOutputs& out) {
    // A terminal echoes every byte as it arrives, the final CR included.
    if (FEcho && !FSettings.Hung) {
        if (out.empty() || out.back().Answer)
            out.push_back({false, {}, 0});
        out.back().Bytes += c;
    }
    if (c == '\r') {
        std::string line = std::move(FLine);
        bool overflow = FLineOverflow;
        FLine.clear();
        FLineOverflow = false;
        ExecuteLine(line, overflow, out);
        return;
    }
    if (c == '\n' || c == '\0' || c == CtrlZ || c == Escape)
        return;
    if (c == '\b') {
        if (!FLine.empty())
            FLine.pop_back();
        return;
    }
    if (FLine.size() >= LineMax) {
        FLineOverflow = true;
        return;
    }
    FLine += c;
}

void TModemDialogue::ExecuteLine(const std::string& line, bool overflow, TModemOutputs& out) {
    // Like a real terminal, skip whatever comes before the "AT" prefix (line noise, the rest
    // of a cancelled PDU), and ignore a line without one.
    std::string trimmed = Trim(line);
    if (trimmed.empty())
        return;
    size_t prefix = Lower(trimmed).find("at");
    if (prefix != std::string::npos)
        trimmed = trimmed.substr(prefix);
    std::string lower = Lower(trimmed);
    RecordLine(trimmed, CommandHead(lower));
    if (prefix == std::string::npos || FSettings.Hung)
        return;
    if (overflow) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    Dispatch(lower, trimmed, out);
}

void TModemDialogue::RecordLine(const std::string& line, const std::string& head) {
    ++FLineCount;
    if (head.rfind("at", 0) == 0)
        ++FCommandCounts[head];
    FCommandLog.push_back(line);
    if (FCommandLog.size() > CommandLogMax)
        FCommandLog.pop_front();
}

int32_t TModemDialogue::CommandCount(const std::string& head) const {
    auto it = FCommandCounts.find(head);
    return it == FCommandCounts.end() ? 0 : it->second;
}

void TModemDialogue::Dispatch(const std::string& lower, const std::string& line,
                              TModemOutputs& out) {
    std::string head = CommandHead(lower);
    size_t equals = line.find('=');
    std::string argument = equals == std::string::npos ? std::string() : line.substr(equals + 1);
    if (head == "at+cmee")
        SetErrorMode(argument, out);
    else if (head == "at+cpin?")
        PinQuery(out);
    else if (head == "at+cpin")
        PinEntry(argument, out);
    else if (head == "at+csca?")
        CentreQuery(out);
    else if (head == "at+ccid")
        Answer(out, "\r\n+CCID: " + FSettings.Iccid + "\r\n\r\nOK\r\n");
    else if (head == "at+cimi")
        ImsiQuery(out);
    else if (head == "at+creg?" || head == "at+csq")
        NetworkQuery(head, out);
    else if (head == "at+cmgf")
        SetFormat(argument, out);
    else if (head == "at+cmgs")
        StartSubmit(argument, out);
    else if (head == "at+cmgl")
        List(argument, out);
    else if (head == "at+cmgd")
        Delete(argument, out);
    else if (head == "at+clip") {
        FClip = argument == "1";
        Ok(out);
    } else if (lower.size() > 2 && (lower[2] < 'a' || lower[2] > 'z'))
        Ok(out); // any other extended command
    else
        BasicCommand(lower, out);
}

// V.250 basic commands in one line ("atq0v1e0", "ate1", "atz"): only echo and reset matter;
// result codes are always words.
void TModemDialogue::BasicCommand(const std::string& lower, TModemOutputs& out) {
    for (size_t i = 2; i < lower.size(); ++i) {
        if (lower[i] == 'z') {
            FEcho = true;
            FErrorMode = 0;
        } else if (lower[i] == 'e') {
            FEcho = i + 1 < lower.size() && lower[i + 1] == '1';
        }
    }
    Ok(out);
}

void TModemDialogue::SetErrorMode(const std::string& argument, TModemOutputs& out) {
    if (argument.size() != 1 || argument[0] < '0' || argument[0] > '2') {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    FErrorMode = argument[0] - '0';
    Ok(out);
}

void TModemDialogue::PinQuery(TModemOutputs& out) {
    Answer(out, PukNeeded()   ? "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"
                : PinNeeded() ? "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"
                              : "\r\n+CPIN: READY\r\n\r\nOK\r\n");
}

// A PIN whose answer is lost is still judged, as by a SIM that answered into a line noise.
void TModemDialogue::PinEntry(const std::string& argument, TModemOutputs& out) {
    if (FSettings.PinAnswersLost <= 0) {
        JudgePin(argument, out);
        return;
    }
    --FSettings.PinAnswersLost;
    TModemOutputs lost;
    JudgePin(argument, lost);
}

void TModemDialogue::JudgePin(const std::string& argument, TModemOutputs& out) {
    std::string pin = argument;
    pin.erase(std::remove(pin.begin(), pin.end(), '"'), pin.end());
    if (!PinNeeded()) {
        CmeError(out, 3, "operation not allowed");
        return;
    }
    // Three wrong PINs lock the SIM; from then on only the PUK, which this terminal does not
    // take, would open it.
    if (PukNeeded()) {
        CmeError(out, 12, "SIM PUK required");
        return;
    }
    if (pin != FSettings.Pin) {
        --FPinAttemptsLeft;
        CmeError(out, 16, "incorrect password");
        return;
    }
    FPinAttemptsLeft = 3;
    FPinGiven = true;
    Ok(out);
}

void TModemDialogue::CentreQuery(TModemOutputs& out) {
    if (PinNeeded()) {
        CmeError(out, 11, "SIM PIN required");
        return;
    }
    if (FSettings.SimBusyCount > 0) {
        --FSettings.SimBusyCount;
        CmeError(out, 14, "SIM busy");
        return;
    }
    Answer(out, "\r\n+CSCA: \"" + FSettings.SmscNumber + "\",145\r\n\r\nOK\r\n");
}

// The bare number, as 3GPP TS 27.007 answers +CIMI; a SIM still locked does not tell it.
void TModemDialogue::ImsiQuery(TModemOutputs& out) {
    if (PinNeeded()) {
        CmeError(out, 11, "SIM PIN required");
        return;
    }
    if (FSettings.Imsi.empty()) {
        Answer(out, "\r\nERROR\r\n");
        return;
    }
    Answer(out, "\r\n" + FSettings.Imsi + "\r\n\r\nOK\r\n");
}

void TModemDialogue::NetworkQuery(const std::string& head, TModemOutputs& out) {
    const bool registration = head == "at+creg?";
    const int32_t value = registration ? FSettings.Registration : FSettings.SignalRssi;
    if (value < 0) {
        CmeError(out, 30, "no network service");
        return;
    }
    // Unsolicited registration reports stay off (<n> 0); the bit error rate is not known.
    Answer(out, registration ? "\r\n+CREG: 0," + std::to_string(value) + "\r\n\r\nOK\r\n"
                             : "\r\n+CSQ: " + std::to_string(value) + ",99\r\n\r\nOK\r\n");
}

void TModemDialogue::Answer(TModemOutputs& out, std::string_view bytes) {
    if (out.empty() || !out.back().Answer || out.back().Acknowledges != 0)
        out.push_back({true, {}, 0});
    out.back().Bytes += bytes;
}

void TModemDialogue::CmeError(TModemOutputs& out, int32_t code, const char* text) {
    if (FErrorMode == 0)
        Answer(out, "\r\nERROR\r\n");
    else if (FErrorMode == 1)
        Answer(out, "\r\n+CME ERROR: " + std::to_string(code) + "\r\n");
    else
        Answer(out, std::string("\r\n+CME ERROR: ") + text + "\r\n");
}

void TModemDialogue::CmsError(TModemOutputs& out, int32_t code) {
    if (FErrorMode == 0)
        Answer(out, "\r\nERROR\r\n");
    else
        Answer(out, "\r\n+CMS ERROR: " + std::to_string(code) + "\r\n");
}

} // namespace qvx
