// What the worker does with the terminal's outcomes: an acknowledged message gets its delivery
// row stamped, a given-up one is logged and skipped until a reload, a returned one waits for a
// later pass. Stamps are gathered and written in one statement per batch.
#include "infra/LogFile.h"
#include "processing/Database.h"
#include "processing/WorkThread.h"
#include "terminal/Siemens.h"

#include <exception>

namespace qvx {

namespace {

// While the database cannot stamp, acknowledged ids wait this long between tries, so that an
// outage does not write an error at every turn of the loop.
constexpr uint32_t StampRetryMs = 5000;

} // namespace

void TWorkThread::HandleOutcomes() {
    TakeOutcomes();
    StampAcknowledged(false);
}

void TWorkThread::TakeOutcomes() {
    FOutcomesPending.store(false);
    if (!FSiemens)
        return;
    std::vector<TOutcome> outcomes;
    FSiemens->TakeOutcomes(outcomes);
    for (const TOutcome& outcome : outcomes)
        ApplyOutcome(outcome);
}

void TWorkThread::ApplyOutcome(const TOutcome& outcome) {
    FInFlight.erase(outcome.MsgId);
    switch (outcome.Kind) {
    case TOutcomeKind::Acknowledged:
        FUnstamped.insert(outcome.MsgId);
        FAcknowledgedCount.fetch_add(1);
        FLastAcknowledgedAt.store(std::time(nullptr));
        break;
    case TOutcomeKind::GivenUp:
        FGivenUp.insert(outcome.MsgId);
        FGivenUpCount.fetch_add(1);
        WriteLog("Сообщение ID=%d не будет отправлено (тел=\"%s\"): %s", outcome.MsgId,
                 outcome.Telephone.c_str(), outcome.Reason.c_str());
        break;
    case TOutcomeKind::Returned:
        break;
    }
}

void TWorkThread::StampAcknowledged(bool now) {
    if (FUnstamped.empty())
        return;
    if (!now && FStampWaiting && static_cast<int32_t>(GetTickCount() - FStampRetryTick) < 0)
        return;
    try {
        FDatabase->MarkSent(std::vector<int32_t>(FUnstamped.begin(), FUnstamped.end()));
    } catch (...) {
        FStampWaiting = true;
        FStampRetryTick = GetTickCount() + StampRetryMs;
        throw;
    }
    FStampWaiting = false;
    FUnstamped.clear();
}

// The network has these messages, but their rows still read unsent: the next start sends
// them once more, and the operator learns which.
void TWorkThread::StampOnExit() noexcept {
    if (FUnstamped.empty())
        return;
    try {
        StampAcknowledged(true);
    } catch (const std::exception& error) {
        WriteLog("Ошибка: %s", error.what());
    } catch (...) {
        WriteLog("Ошибка: %s", "неизвестная ошибка");
    }
    for (const int32_t id : FUnstamped)
        WriteLog("Сообщение ID=%d отправлено, но не отмечено в базе данных: будет отправлено "
                 "повторно",
                 id);
    FDatabase->Close();
}

} // namespace qvx
