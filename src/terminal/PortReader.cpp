// Block reads of the terminal's port and the one wait loop of the AT exchange. An idle
// exchange costs one poll() and one read() per answer; deadlines are steady_clock time
// points, so a wait may end later than asked, never earlier.
#include "terminal/PortReader.h"

#include "infra/Deadline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

namespace qvx {

TPortReader::TEnd TPortReader::ReadAnswer(const TFramer& framer, const TRule& rule,
                                          TReplyFrame& frame) {
    TClock::time_point deadline = TClock::now() + rule.Timeout;
    Sift(); // the lines left behind while a part's answer was awaited
    for (;;) {
        frame = framer(Buffered());
        if (frame.State != TFrameState::More)
            return TEnd::Framed;
        if (FOwner != nullptr && FOwner->Terminated() && !FAwaitingPart)
            return TEnd::Stop;
        const TClock::time_point now = TClock::now();
        if (now >= deadline)
            return TEnd::Timeout;
        const TWait waited = WaitForInput(deadline - now);
        if (waited == TWait::Again)
            continue;
        if (waited == TWait::Stop || waited == TWait::Failed)
            return waited == TWait::Stop ? TEnd::Stop : TEnd::Hangup;
        size_t count = 0;
        const TFill filled = Fill(rule.MaxLength, count);
        if (count > 0 && rule.Silence)
            deadline = TClock::now() + rule.Timeout;
        if (filled == TFill::Bytes)
            continue;
        if (filled == TFill::Nothing) {
            if (waited == TWait::Broken) {
                // A vanished device reports hang-up for ever, with nothing left to read.
                FPort.InQueue(); // records the hang-up in the error flags
                return TEnd::Hangup;
            }
            if (FSize >= std::min(rule.MaxLength, Capacity))
                return TEnd::ReadError; // full, and the framing ends nothing: no way on
            continue;
        }
        // The bytes that came with a hang-up or a line error are kept: an answer they
        // complete still counts.
        frame = framer(Buffered());
        if (frame.State != TFrameState::More)
            return TEnd::Framed;
        return filled == TFill::Hangup      ? TEnd::Hangup
               : filled == TFill::LineError ? TEnd::LineError
                                            : TEnd::ReadError;
    }
}

bool TPortReader::ReadWaiting() {
    Sift();
    for (;;) {
        const size_t room = Capacity - FSize;
        size_t count = 0;
        const TFill filled = Fill(Capacity, count);
        if (filled != TFill::Bytes)
            return filled == TFill::Nothing;
        // A read that left room drained the port; a full buffer is for the caller to take.
        if (count < room || FSize >= Capacity)
            return true;
    }
}

std::string TPortReader::Take(size_t taken, size_t kept) {
    taken = std::min(taken, FSize);
    std::string answer(FData.data(), std::min(kept, taken));
    std::copy(FData.begin() + taken, FData.begin() + FSize, FData.begin());
    FSize -= taken;
    FSifted = FSifted > taken ? FSifted - taken : 0;
    return answer;
}

std::vector<int32_t> TPortReader::TakeLateReferences() {
    std::vector<int32_t> taken;
    taken.swap(FLate);
    return taken;
}

// A late answer is "+CMGS: <mr>" and then its OK line; blank lines between them stay, as
// every answer starts with one anyway. Every line is looked at once.
void TPortReader::Sift() {
    if (FAwaitingPart)
        return;
    while (FSifted < FSize) {
        const TInputLine line = NextInputLine({FData.data(), FSize}, FSifted);
        if (line.Kind == TLineKind::Partial)
            return;
        if (line.Kind == TLineKind::Submitted) {
            if (FLate.size() >= LateMax)
                FLate.erase(FLate.begin());
            FLate.push_back(line.Reference);
            FOkPending = true;
            Erase(FSifted, line.End);
        } else if (line.Kind == TLineKind::Ok && FOkPending) {
            FOkPending = false;
            Erase(FSifted, line.End);
        } else {
            FOkPending = FOkPending && line.Kind == TLineKind::Blank;
            FSifted = line.End;
        }
    }
}

void TPortReader::Erase(size_t from, size_t to) noexcept {
    std::copy(FData.begin() + to, FData.begin() + FSize, FData.begin() + from);
    FSize -= to - from;
}

size_t TPortReader::Visible() const {
    if (FAwaitingPart || FSifted >= FSize)
        return FSize;
    return MayBecomeSubmitted({FData.data() + FSifted, FSize - FSifted}) ? FSifted : FSize;
}

TPortReader::TWait TPortReader::WaitForInput(TClock::duration left) const {
    pollfd fds[2] = {{FPort.Fd(), POLLIN, 0},
                     {FOwner != nullptr && !FAwaitingPart ? FOwner->StopFd() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, PollTimeoutMs(left));
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return TWait::Again;
    if (ready < 0)
        return TWait::Failed;
    if (fds[1].revents != 0)
        return TWait::Stop;
    // Bytes still waiting behind a hang-up are read first; the read tells what is left.
    return (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? TWait::Broken : TWait::Input;
}

TPortReader::TFill TPortReader::Fill(size_t limit, size_t& count) {
    count = 0;
    const size_t bound = std::min(limit, Capacity);
    if (FSize >= bound)
        return TFill::Nothing;
    count = FPort.ReadAvailable(FData.data() + FSize, bound - FSize);
    FSize += count;
    Sift();
    if (FPort.HasErrors())
        return FPort.HungUp() ? TFill::Hangup : TFill::LineError;
    if (FPort.Failed())
        return TFill::ReadError;
    return count > 0 ? TFill::Bytes : TFill::Nothing;
}

} // namespace qvx
