// What ends an answer of the terminal, decided over the bytes received so far: pure functions
// that the AT exchange calls after every block it reads, for any split of the same reply.
#pragma once

#include <cstddef>
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

// A listing: complete once "OK" has arrived anywhere, with every byte received so far; a
// listing that reaches maxLength bytes is overlong, "OK" or not.
TReplyFrame FrameListing(std::string_view bytes, size_t maxLength);

} // namespace qvx
