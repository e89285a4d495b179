// The terminal's input as the AT exchange sees it: the serial port read in blocks into one
// bounded buffer, and one wait loop (deadline, stop descriptor, hang-up, line errors) that
// serves every kind of answer, the reply framing deciding where an answer ends. Bytes past
// the end of an answer stay buffered for whoever reads next. Every line passes here, so the
// answers to submissions whose wait has ended ("+CMGS: <mr>" and its OK) are taken out here,
// before any answer in progress can take them for its own. Used by the terminal thread.
#pragma once

#include "infra/Com.h"
#include "infra/Deadline.h"
#include "infra/Thread.h"
#include "terminal/ReplyFraming.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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
    // Set while a part of a message is on its way and its answer awaited. The owner's stop
    // then does not end a wait: the answer is heard out (within the wait's own timeout), so
    // that a stop never leaves unknown whether the network took it. And a "+CMGS" line is then
    // that part's answer; at any other time it answers a submission whose wait has ended,
    // and is taken out with its OK line (TakeLateReferences).
    void SetAwaitingPart(bool awaiting) {
        FAwaitingPart = awaiting;
        FOkPending = false;
    }
    TPortReader(const TPortReader&) = delete;
    TPortReader& operator=(const TPortReader&) = delete;

    // Waits and reads until framer finds the answer complete in the buffered bytes; frame
    // gets its last verdict. The answer stays buffered: Take() removes it.
    TEnd ReadAnswer(const TFramer& framer, const TRule& rule, TReplyFrame& frame);
    // Reads what the port holds without waiting, while it keeps filling whole blocks; false
    // when the port hung up, failed or reported a line error (bytes read stay buffered).
    bool ReadWaiting();

    // The input an answer may take: all of it but a line still arriving that may turn out a
    // late "+CMGS" line, held back until it ends.
    std::string_view Buffered() const { return {FData.data(), Visible()}; }
    // Removes the first taken bytes and returns the first kept of them.
    std::string Take(size_t taken, size_t kept);
    std::string TakeAll() { return Take(Visible(), Visible()); }
    // Forgets everything buffered: the port was purged, closed or opened anew. The references
    // taken out so far stay.
    void Clear() noexcept {
        FSize = 0;
        FSifted = 0;
        FOkPending = false;
    }
    // The references of the late "+CMGS" lines taken out since the last call, oldest first.
    std::vector<int32_t> TakeLateReferences();

private:
    // Input: the port is readable; Broken: it reports a hang-up or an error; Again: nothing
    // yet (timeout or signal); Failed: poll() itself failed.
    enum class TWait { Input, Broken, Again, Stop, Failed };
    enum class TFill { Bytes, Nothing, Hangup, LineError, ReadError };

    TWait WaitForInput(TClock::duration left) const;
    // One non-blocking read of at most limit bytes in total buffered.
    TFill Fill(size_t limit, size_t& count);
    // Takes the late "+CMGS" lines, and the OK line behind each, out of the lines that have
    // ended since the last call.
    void Sift();
    void Erase(size_t from, size_t to) noexcept;
    size_t Visible() const;

    // Late references kept for the owner at most; the oldest go first.
    static constexpr size_t LateMax = 16;

    COM& FPort;
    const TThread* FOwner;
    bool FAwaitingPart = false;
    // A fixed block, so that a read costs no allocation and no clearing of memory.
    std::array<char, Capacity> FData;
    size_t FSize = 0;
    // The buffered lines before FSifted are sifted; a late "+CMGS" line waits for its OK.
    size_t FSifted = 0;
    bool FOkPending = false;
    std::vector<int32_t> FLate;
};

} // namespace qvx
