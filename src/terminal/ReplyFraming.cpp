// Reply framing of the AT exchange: each function rescans the bytes from the start, so its
// verdict depends only on the bytes and never on how they were split into reads.
#include "terminal/ReplyFraming.h"

#include <algorithm>

namespace qvx {

namespace {

TReplyFrame Complete(TFrameState state, size_t taken, size_t kept) {
    return {state, taken, kept};
}

// Every byte received so far, within the bound, belongs to a complete answer: bytes that were
// already waiting behind its final line are part of it.
TReplyFrame CompleteWithAll(TFrameState state, std::string_view bytes, size_t maxLength) {
    const size_t length = std::min(bytes.size(), maxLength);
    return Complete(state, length, length);
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool EndsWith(std::string_view text, std::string_view marker) {
    return !marker.empty() && text.size() >= marker.size() &&
           text.substr(text.size() - marker.size()) == marker;
}

} // namespace

TReplyFrame FrameCommandAnswer(std::string_view bytes, std::string_view expected,
                               size_t maxLength) {
    // CR and LF in front of the first text (the blank line before a result) end nothing.
    bool started = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        started = started || (c != '\r' && c != '\n');
        if (started && c == '\n') {
            const std::string_view head = bytes.substr(0, i);
            if (expected.empty() || Contains(head, expected))
                return CompleteWithAll(TFrameState::Success, bytes, maxLength);
            if (Contains(head, "ERROR"))
                return Complete(TFrameState::Failure, i + 1, i);
        }
        if (i + 1 >= maxLength)
            return Complete(TFrameState::Overlong, maxLength, maxLength);
    }
    return {};
}

TReplyFrame FrameMarkerAnswer(std::string_view bytes, std::string_view success,
                              std::string_view failure, size_t maxLength) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        // The bound is tested before the markers: a marker that completes only with the
        // last byte the bound allows does not count.
        if (i + 1 >= maxLength)
            return Complete(TFrameState::Overlong, maxLength, maxLength);
        const std::string_view head = bytes.substr(0, i + 1);
        if (EndsWith(head, success))
            return CompleteWithAll(TFrameState::Success, bytes, maxLength);
        if (EndsWith(head, failure))
            return CompleteWithAll(TFrameState::Failure, bytes, maxLength);
    }
    return {};
}

TReplyFrame FrameListing(std::string_view bytes, size_t maxLength) {
    if (bytes.size() >= maxLength)
        return Complete(TFrameState::Overlong, maxLength, maxLength);
    if (Contains(bytes, "OK"))
        return CompleteWithAll(TFrameState::Success, bytes, maxLength);
    return {};
}

} // namespace qvx
