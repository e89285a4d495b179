// What ends an answer of the terminal, decided over the bytes received so far: pure functions
// that the AT exchange calls after every block it reads, for any split of the same reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qvx {

enum class TFrameState {
    More,     // the answer goes on: read more or wait for the timeout
    Success,  // the answer is complete and says what was asked for
    Failure,  // the answer is complete and reports a failure
    Overlong, // the length bound was reached before the answer said anything
};

// Taken bytes leave the input; the first Kept of them are the answer. Bytes past Taken belong
// to whatever comes next. Both are 0 while the state is More.
struct TReplyFrame {
    TFrameState State = TFrameState::More;
    size_t Taken = 0;
    size_t Kept = 0;
};

// A command's answer: complete at a line end (LF after some text other than CR and LF) once
// the answer holds expected (any line end when expected is empty), failed at a line end once
// it holds "ERROR" (that LF is taken, not kept). A complete answer takes every byte already
// received, up to maxLength, which also bounds an answer that never ends.
TReplyFrame FrameCommandAnswer(std::string_view bytes, std::string_view expected, size_t maxLength);

// An answer that ends at a marker wherever it appears, without a line end (the "> " prompt):
// success or failure, whichever completes first; an empty marker never matches. As above, a
// complete answer takes every byte already received, up to maxLength.
TReplyFrame FrameMarkerAnswer(std::string_view bytes, std::string_view success,
                              std::string_view failure, size_t maxLength);

// A listing: complete at its final result, a line "OK" (ended by CR or LF), with every byte
// received so far; failed through an error line ("ERROR", "+CMS ERROR: ...") in front of it. A
// listing that reaches maxLength bytes without one is overlong: it takes its complete lines only
// (all maxLength bytes when it has no line end), and the part line stays for the rest of the
// listing.
TReplyFrame FrameListing(std::string_view bytes, size_t maxLength);

// The answer to a submitted PDU: complete through its final result line, "OK" alone on its line
// (success) or an error line (failure); an "OK" inside another line ends nothing. Bytes behind
// the final line stay for whatever comes next; maxLength bounds an answer that never ends.
TReplyFrame FrameFinalResult(std::string_view bytes, size_t maxLength);

// The rest of a listing cut at its bound, read only to be dropped: complete through its line
// "OK" (the bytes behind it stay for whatever comes next), or overlong at maxLength bytes
// with its complete lines taken, so that the reading goes on from the start of a line.
TReplyFrame FrameListingRest(std::string_view bytes, size_t maxLength);

// One line of the terminal's input, as the port reader sorts out the answers to submissions
// that come after their wait has ended.
enum class TLineKind {
    Partial,   // its end has not arrived yet
    Blank,     // nothing before its CR or LF
    Ok,        // "OK"
    Submitted, // "+CMGS: <mr>[,...]": the network took a submitted PDU (3GPP TS 27.005)
    Other,
};

struct TInputLine {
    TLineKind Kind = TLineKind::Partial;
    size_t End = 0;         // past its CR or LF, and a LF right behind a CR; 0 while Partial
    int32_t Reference = -1; // Submitted: <mr>
};

// The line of bytes that starts at from.
TInputLine NextInputLine(std::string_view bytes, size_t from);

// True while a line whose end has not arrived may still become a Submitted line; a line
// longer than any such line never does.
bool MayBecomeSubmitted(std::string_view partial);

} // namespace qvx
