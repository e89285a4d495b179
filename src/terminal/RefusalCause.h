// Whose fault a "+CMS ERROR" refusal of a submission is: the message's, the network's, or this
// terminal's SIM and subscription. Pure logic on the refusal line, used by the terminal thread
// and by the owner that decides what becomes of the refused message.
#pragma once

#include <cstdint>
#include <string_view>

namespace qvx {

enum class TRefusalKind : int32_t {
    // About this message (its destination or its content): another try would be refused
    // again. Counts against the message.
    Message = 0,
    // Network-wide, passing, or not known: any message might fail now. Counts against nothing;
    // a run of them holds this terminal's queue for a while.
    Network = 1,
    // About this terminal's SIM or subscription (barred, no credit, no PIN, no SMS centre):
    // every message from this terminal would fail, from another it may go. Never counts
    // against the message; the owner decides whether to suspend the terminal, and the
    // terminal holds its queue as for a Network refusal.
    Subscription = 2,
};

// The cause of a "+CMS ERROR: <n>" line, or of the text a terminal in verbose mode gives
// instead of the number ("+CMS ERROR: Call barred"); the part after the first colon counts, the
// whole line when it has none. Texts match without regard to case, surrounding blanks and a
// final period. -1 when the line gives neither a number nor a known text.
int32_t RefusalCause(std::string_view refusal);

// Causes 0..127 are the network's relay causes (3GPP TS 24.011), 128..255 the service
// centre's failure causes (3GPP TS 23.040), 300..500 the terminal's own (3GPP TS 27.005) and
// 512 on the manufacturer's. -1 and any cause not listed are Network.
TRefusalKind RefusalKind(int32_t cause);

} // namespace qvx
