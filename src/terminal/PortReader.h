// The terminal's input as the AT exchange sees it: the serial port read in blocks into one
// bounded buffer, and one wait loop (deadline, stop descriptor, hang-up, line errors) that
// serves every kind of answer, the reply framing deciding where an answer ends. Bytes past
// the end of an answer stay buffered for whoever reads next. Used by the terminal thread.
#pragma once

#include "infra/Com.h"
#include "infra/Deadline.h"
#include "infra/Thread.h"
#include "terminal/ReplyFraming.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qvx {

class TPortReader {
public:
    // Room for the longest answer the exchange reads, a listing included.
    static constexpr size_t Capacity = 16 * 1024;

    // How a read of one answer ended.
    enum class TEnd {
        Framed,    // the framing found the end (or the bound) of the answer
        Timeout,   // the deadline passed first
        Stop,      // the owner thread was told to stop
        Hangup,    // the device went away
        LineError, // the line reported an error and the bytes so far end nothing
        ReadError, // the port refused to read, or a full buffer frames nothing
    };

    // How long one answer may take: the timeout counts from the start, or with Silence from
    // the newest byte. No more than MaxLength bytes of input are buffered for the answer.
    struct TRule {
        std::chrono::milliseconds Timeout{0};
        bool Silence = false;
        size_t MaxLength = Capacity;
    };

    using TFramer = std::function<TReplyFrame(std::string_view)>;

    // The port and the thread whose stop ends every wait (nullptr: none); both outlive the
    // reader.
    TPortReader(COM& port, const TThread* owner) : FPort(port), FOwner(owner) {}
    // While set, the owner's stop does not end a wait: the answer to a message already on its
    // way is heard out (within the wait's own timeout), so that a stop never leaves unknown
    // whether the network took it.
    void SetHearOut(bool hearOut) { FHearOut = hearOut; }
    TPortReader(const TPortReader&) = delete;
    TPortReader& operator=(const TPortReader&) = delete;

    // Waits and reads until framer finds the answer complete in the buffered bytes; frame
    // gets its last verdict. The answer stays buffered: Take() removes it.
    TEnd ReadAnswer(const TFramer& framer, const TRule& rule, TReplyFrame& frame);
    // Reads what the port holds without waiting, while it keeps filling whole blocks; false
    // when the port hung up, failed or reported a line error (bytes read stay buffered).
    bool ReadWaiting();

    std::string_view Buffered() const { return {FData.data(), FSize}; }
    // Removes the first taken bytes and returns the first kept of them.
    std::string Take(size_t taken, size_t kept);
    std::string TakeAll() { return Take(FSize, FSize); }
    // Forgets everything buffered: the port was purged, closed or opened anew.
    void Clear() noexcept { FSize = 0; }

private:
    // Input: the port is readable; Broken: it reports a hang-up or an error; Again: nothing
    // yet (timeout or signal); Failed: poll() itself failed.
    enum class TWait { Input, Broken, Again, Stop, Failed };
    enum class TFill { Bytes, Nothing, Hangup, LineError, ReadError };

    TWait WaitForInput(TClock::duration left) const;
    // One non-blocking read of at most limit bytes in total buffered.
    TFill Fill(size_t limit, size_t& count);

    COM& FPort;
    const TThread* FOwner;
    bool FHearOut = false;
    // A fixed block, so that a read costs no allocation and no clearing of memory.
    std::array<char, Capacity> FData;
    size_t FSize = 0;
};

} // namespace qvx
