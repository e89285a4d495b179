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

// The end (past its CR or LF, and a LF right behind a CR) of the first line that is exactly
// "OK"; npos when no such line has ended yet. Hex text, headers and unsolicited lines never
// make such a line, so an "OK" inside them ends nothing.
size_t FindOkLine(std::string_view bytes) {
    for (size_t at = bytes.find("OK"); at != std::string_view::npos;
         at = bytes.find("OK", at + 1)) {
        const bool lineStart = at == 0 || bytes[at - 1] == '\n' || bytes[at - 1] == '\r';
        const size_t after = at + 2;
        if (!lineStart || after >= bytes.size() || (bytes[after] != '\r' && bytes[after] != '\n'))
            continue;
        const bool crLf =
            bytes[after] == '\r' && after + 1 < bytes.size() && bytes[after + 1] == '\n';
        return after + (crLf ? 2 : 1);
    }
    return std::string_view::npos;
}

// The end of the first line that reports an error ("ERROR", "+CMS ERROR: ...", "+CME ERROR:
// ..."), past its CR or LF and a LF right behind a CR; npos when no such line has ended yet.
size_t FindErrorLine(std::string_view bytes) {
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            return std::string_view::npos;
        const std::string_view line = bytes.substr(start, end - start);
        for (std::string_view head : {"ERROR", "+CMS ERROR", "+CME ERROR"})
            if (line.substr(0, head.size()) == head) {
                const bool crLf =
                    bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
                return end + (crLf ? 2 : 1);
            }
        start = end + 1;
    }
    return std::string_view::npos;
}

// The length of the complete lines at the front: up to the last LF, or everything when there
// is none (a line that long is no line of a listing).
size_t CompleteLines(std::string_view bytes) {
    const size_t lf = bytes.rfind('\n');
    return lf == std::string_view::npos ? bytes.size() : lf + 1;
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

namespace {

// The first final result line of a reply read up to its bound: an error line before any OK
// line fails it; ok is npos while no OK line has come.
struct TFinalLine {
    size_t Ok = std::string_view::npos;
    size_t Error = std::string_view::npos;
    bool Failed() const {
        return Error != std::string_view::npos && (Ok == std::string_view::npos || Error < Ok);
    }
};

TFinalLine FindFinalLine(std::string_view bounded) {
    return {FindOkLine(bounded), FindErrorLine(bounded)};
}

} // namespace

TReplyFrame FrameListing(std::string_view bytes, size_t maxLength) {
    const std::string_view bounded = bytes.substr(0, maxLength);
    const TFinalLine line = FindFinalLine(bounded);
    if (line.Failed())
        return Complete(TFrameState::Failure, line.Error, line.Error);
    if (line.Ok != std::string_view::npos)
        return CompleteWithAll(TFrameState::Success, bytes, maxLength);
    if (bytes.size() < maxLength)
        return {};
    const size_t lines = CompleteLines(bounded);
    return Complete(TFrameState::Overlong, lines, lines);
}

TReplyFrame FrameFinalResult(std::string_view bytes, size_t maxLength) {
    const TFinalLine line = FindFinalLine(bytes.substr(0, maxLength));
    if (line.Failed())
        return Complete(TFrameState::Failure, line.Error, line.Error);
    if (line.Ok != std::string_view::npos)
        return Complete(TFrameState::Success, line.Ok, line.Ok);
    if (bytes.size() >= maxLength)
        return Complete(TFrameState::Overlong, maxLength, maxLength);
    return {};
}

TReplyFrame FrameListingRest(std::string_view bytes, size_t maxLength) {
    const std::string_view bounded = bytes.substr(0, maxLength);
    const size_t end = FindOkLine(bounded);
    if (end != std::string_view::npos)
        return Complete(TFrameState::Success, end, end);
    if (bytes.size() < maxLength)
        return {};
    const size_t lines = CompleteLines(bounded);
    return Complete(TFrameState::Overlong, lines, lines);
}

namespace {

constexpr std::string_view SubmittedHead = "+CMGS:";
// "+CMGS: 255" with room for blanks; an acknowledgement PDU behind it is not asked for.
constexpr size_t SubmittedLineMax = 80;

// "+CMGS:", blanks, the reference, and nothing or a comma and more fields behind it.
int32_t SubmittedReference(std::string_view line) {
    if (line.size() > SubmittedLineMax || line.substr(0, SubmittedHead.size()) != SubmittedHead)
        return -1;
    size_t pos = SubmittedHead.size();
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    const size_t digits = pos;
    int32_t reference = 0;
    for (; pos < line.size() && pos - digits < 5 && line[pos] >= '0' && line[pos] <= '9'; ++pos)
        reference = reference * 10 + (line[pos] - '0');
    if (pos == digits)
        return -1;
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    return pos == line.size() || line[pos] == ',' ? reference : -1;
}

} // namespace

TInputLine NextInputLine(std::string_view bytes, size_t from) {
    const size_t end = bytes.find_first_of("\r\n", from);
    if (end == std::string_view::npos)
        return {};
    const bool crLf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
    const std::string_view line = bytes.substr(from, end - from);
    TInputLine result{TLineKind::Other, end + (crLf ? 2 : 1), -1};
    if (line.empty())
        result.Kind = TLineKind::Blank;
    else if (line == "OK")
        result.Kind = TLineKind::Ok;
    else if ((result.Reference = SubmittedReference(line)) >= 0)
        result.Kind = TLineKind::Submitted;
    return result;
}

bool MayBecomeSubmitted(std::string_view partial) {
    if (partial.size() > SubmittedLineMax)
        return false;
    const size_t common = std::min(partial.size(), SubmittedHead.size());
    return partial.substr(0, common) == SubmittedHead.substr(0, common);
}

} // namespace qvx
