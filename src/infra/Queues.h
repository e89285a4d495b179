// Records that cross between the worker and the terminal thread, and the locked queues that
// carry their copies. Every queue operation holds the queue's own lock from start to end.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

namespace qvx {

// Days since 1899-12-30 00:00, the time of day as the fraction.
using TDateTime = double;
constexpr TDateTime OneSecond = 1.0 / 86400.0;
// Local time of t as a TDateTime.
TDateTime ToDateTime(std::time_t t);
TDateTime Now();

// One short message; texts are Windows-1251.
struct TSMS {
    std::string Telephone;
    std::string Text;
    bool Flash = false;
    bool Transliterate = false;

    bool operator==(const TSMS&) const = default;
};

// One incoming call seen on the terminal.
struct TRing {
    std::string Telephone;
    TDateTime DateTime = 0;
    bool International = false;
    int32_t Count = 0;

    bool operator==(const TRing&) const = default;
};

// First-in-first-out queue of TSMS copies.
class TSMSStack {
public:
    void Push(const TSMS& sms);
    bool Pop(TSMS& sms);        // oldest out and removed; false (sms unchanged) when empty
    bool Peek(TSMS& sms) const; // oldest out, left queued
    int32_t Count() const;

private:
    mutable std::mutex FLock;
    std::deque<TSMS> FList;
};

// The same queue for calls; rings of one caller less than 15 seconds after the previous
// one (folded or not) are folded into the newest record.
class TRingStack {
public:
    static constexpr TDateTime FoldWindow = 15 * OneSecond;

    void Push(const TRing& ring);
    bool Pop(TRing& ring);
    bool Peek(TRing& ring) const;
    int32_t Count() const;

private:
    mutable std::mutex FLock;
    std::deque<TRing> FList;
    std::string FLastTelephone;
    TDateTime FLastDateTime = 0;
};

} // namespace qvx
