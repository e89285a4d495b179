// The AT side of the simulated GSM terminal: takes the bytes the driver writes, returns the
// terminal's echo and answers, keeps the SIM's message store and records every command line
// and every submitted PDU. Pure logic without a port or a thread: TGsmSimulator runs it on its
// own thread under its lock, and tests can feed it directly.
#pragma once

#include "gsmsim/SubmitPdu.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// How the terminal answers submissions.
enum class TSubmitReply : int32_t {
    Ok = 0,            // "+CMGS: <ref>" and OK
    CmsError = 1,      // "+CMS ERROR: <n>" after the PDU
    NoPrompt = 2,      // at+cmgs gets no "> " at all
    NoFinalAnswer = 3, // the PDU is taken (the network has it) but never acknowledged
};

struct TModemSettings {
    std::string Pin;                           // empty: the SIM needs no PIN
    std::string Iccid = "8970199123456789012"; // at+ccid: the SIM's serial number
    std::string Imsi = "250990000000001";      // at+cimi; empty: the command answers ERROR
    int32_t SimBusyCount = 0;                  // at+csca? answers "SIM busy" this many more times
    int32_t PinAnswersLost = 0; // at+cpin= is judged, but its answer lost, this many more times
    TSubmitReply SubmitReply = TSubmitReply::Ok;
    int32_t SubmitReplyCount = 0; // submissions left to answer with SubmitReply; 0: all
    int32_t CmsError = 500;
    // Destination digits the network refuses, with the "+CMS ERROR" number each gets.
    std::map<std::string, int32_t> RefusedNumbers;
    bool DeleteFails = false; // at+cmgd answers ERROR and deletes nothing
    // Indexes whose at+cmgd is refused with this +CMS ERROR number, deleting nothing.
    std::map<int32_t, int32_t> DeleteErrors;
    bool Hung = false;               // lines are recorded, but nothing is executed or answered
    size_t ListingPadBytes = 0;      // at+cmgl sends at least this many bytes of filler entries
    std::string ListingInterjection; // bytes every at+cmgl answer sends before its OK
    std::string SubmitInterjection;  // bytes sent in front of the answer to every PDU
    std::string PromptInterjection;  // bytes sent in front of every "> " prompt
    // The network takes this long to acknowledge an accepted PDU, for NetworkDelayCount more
    // submissions (0: all). The terminal says nothing else meanwhile.
    uint32_t NetworkDelayMs = 0;
    int32_t NetworkDelayCount = 0;
    // The message format at power-on: text mode, as another program may have left it saved
    // in the terminal; and at+cmgf=0 refused, a terminal that cannot do PDU mode.
    bool TextModeAtPowerOn = false;
    bool PduModeRefused = false;
    bool StrictLength = true; // a PDU whose length differs from the at+cmgs value is refused
    int32_t Capacity = 100;   // SIM store indexes 1..Capacity
    std::string SmscNumber = "+79037011111";
    // What at+creg? and at+csq report (3GPP TS 27.007 <stat> and <rssi>); a negative value
    // makes the command answer ERROR.
    int32_t Registration = 1; // registered, home network
    int32_t SignalRssi = 20;  // -73 dBm
};

struct TStoredSms {
    int32_t Index = 0;
    int32_t Status = 0; // 0 received unread, 1 received read (3GPP TS 27.005 PDU mode)
    std::string Pdu;    // hex, SMS centre address included
    int32_t Length = 0; // octets after the SMS centre address, as the listing shows
};

struct TSubmittedSms {
    std::string Pdu;            // hex as received, without the Ctrl-Z
    int32_t CommandLength = 0;  // the length given with at+cmgs
    bool LengthMatches = false; // it equals the octets after the SMS centre address
    bool Accepted = false;      // the network took it (acknowledged or not)
    int32_t Reference = -1;     // the +CMGS reference; -1 when none was sent
    // Set by the simulator once the whole acknowledgement went out on the line: an accepted
    // message without it is one whose acknowledgement was cut off (silence, an unplug), the
    // only kind a driver may rightly send again.
    bool Acknowledged = false;
    uint64_t Serial = 0; // 1, 2, ... in the order of arrival; ClearSubmitted keeps counting
    TSubmitView View;    // the decoded fields
    std::chrono::steady_clock::time_point ReceivedAt;
};

// Echo goes out at once; answers can be delayed by the simulator.
struct TModemOutput {
    bool Answer = false;
    std::string Bytes;
    uint64_t Acknowledges = 0;   // Serial of the submission these bytes acknowledge, or 0
    uint32_t NetworkDelayMs = 0; // on top of the simulator's answer delay
};
using TModemOutputs = std::vector<TModemOutput>;

class TModemDialogue {
public:
    // Longest command line and PDU kept; the rest of an overlong one is dropped and refused.
    static constexpr size_t LineMax = 1024;
    static constexpr size_t PduMax = 1024;
    static constexpr size_t CommandLogMax = 10000;

    TModemSettings FSettings;

    void Feed(std::string_view bytes, TModemOutputs& out);
    // The state after power-on: echo on, errors as plain ERROR, PIN not yet given, no command
    // half-read. The SIM store, the records and the settings stay.
    void PowerOn();

    // Indexes of the stored parts; empty when the text cannot be built or the store is full.
    std::vector<int32_t> StoreText(std::string_view number, std::string_view utf8Text,
                                   bool concatenate = true);
    // Index, or -1 when the hex is malformed or the store is full.
    int32_t StorePdu(std::string_view hex);
    const std::map<int32_t, TStoredSms>& Stored() const { return FStored; }
    void ClearStored() { FStored.clear(); }

    const std::vector<TSubmittedSms>& Submitted() const { return FSubmitted; }
    void ClearSubmitted() { FSubmitted.clear(); }
    void MarkAcknowledged(uint64_t serial);
    // Lines received, by command head in lower case: "at+cmgl", "at+cmgd", "at+cpin?", ...
    int32_t CommandCount(const std::string& head) const;
    int32_t LineCount() const { return FLineCount; }
    // The last CommandLogMax lines received, without their CR.
    const std::deque<std::string>& CommandLog() const { return FCommandLog; }
    // Indexes of every at+cmgd received, in order, whether or not it succeeded.
    const std::vector<int32_t>& DeletedIndexes() const { return FDeleted; }
    bool EchoOn() const { return FEcho; }
    // Wrong PINs the SIM still takes before it asks for its PUK; 0: locked.
    int32_t PinAttemptsLeft() const { return FPinAttemptsLeft; }
    bool ClipOn() const { return FClip; }
    bool TextMode() const { return FTextMode; }
    void SetTextMode(bool textMode) { FTextMode = textMode; }

private:
    void FeedCommandByte(char c, TModemOutputs& out);
    void FeedPduByte(char c, TModemOutputs& out);
    void ExecuteLine(const std::string& line, bool overflow, TModemOutputs& out);
    void Dispatch(const std::string& lower, const std::string& line, TModemOutputs& out);
    void RecordLine(const std::string& line, const std::string& head);
    void BasicCommand(const std::string& lower, TModemOutputs& out);
    void SetErrorMode(const std::string& argument, TModemOutputs& out);
    void PinQuery(TModemOutputs& out);
    void PinEntry(const std::string& argument, TModemOutputs& out);
    void JudgePin(const std::string& argument, TModemOutputs& out);
    void CentreQuery(TModemOutputs& out);
    void ImsiQuery(TModemOutputs& out);
    void NetworkQuery(const std::string& head, TModemOutputs& out);
    void SetFormat(const std::string& argument, TModemOutputs& out);
    void StartSubmit(const std::string& argument, TModemOutputs& out);
    void FinishTextSubmit(TSubmittedSms& sms, TModemOutputs& out);
    void FinishSubmit(TModemOutputs& out);
    void List(const std::string& argument, TModemOutputs& out);
    void Delete(const std::string& argument, TModemOutputs& out);
    TSubmitReply TakeSubmitReply();
    uint32_t TakeNetworkDelay();
    bool PinNeeded() const { return !FSettings.Pin.empty() && !FPinGiven; }
    bool PukNeeded() const { return PinNeeded() && FPinAttemptsLeft == 0; }
    std::vector<int32_t> FreeIndexes(size_t count) const;

    static void Answer(TModemOutputs& out, std::string_view bytes);
    void Ok(TModemOutputs& out) { Answer(out, "\r\nOK\r\n"); }
    void CmeError(TModemOutputs& out, int32_t code, const char* text);
    void CmsError(TModemOutputs& out, int32_t code);

    // terminal state, reset at power-on
    bool FEcho = true;
    int32_t FErrorMode = 0; // at+cmee: 0 plain ERROR, 1 numeric, 2 verbose
    bool FPinGiven = false;
    bool FClip = false;
    bool FTextMode = false; // at+cmgf=1: messages are texts, listings take "ALL" and the like
    bool FInPdu = false;
    std::string FLine;
    bool FLineOverflow = false;
    std::string FPdu;
    bool FPduOverflow = false;
    int32_t FPduLength = 0;

    // SIM and network
    std::map<int32_t, TStoredSms> FStored;
    int32_t FPinAttemptsLeft = 3; // a SIM keeps its count through power-on
    uint8_t FNextReference = 0;
    uint8_t FNextConcatRef = 1;
    uint64_t FNextSerial = 1;

    // records
    std::vector<TSubmittedSms> FSubmitted;
    std::map<std::string, int32_t> FCommandCounts;
    std::deque<std::string> FCommandLog;
    std::vector<int32_t> FDeleted;
    int32_t FLineCount = 0;
};

} // namespace qvx
