// TDispatch's reading of the terminals' outcomes: an acknowledgement frees the message and
// clears the terminal's record, a refusal counts against the message or against the terminal
// by its cause, a submission the network may have taken waits for a late answer before it goes
// once more, and everything else goes back to the pending list unclaimed.
#include "infra/LogFile.h"
#include "infra/Thread.h"
#include "processing/Dispatch.h"
#include "terminal/RefusalCause.h"
#include "terminal/ResultCodes.h"

#include <algorithm>

namespace qvx {

TDecisions TDispatch::Outcome(size_t t, const TOutcome& outcome, uint32_t tick, std::time_t now) {
    TDecisions decisions;
    if (t >= FTerminals.size())
        return decisions; // a terminal that failed to start took nothing
    const int32_t id = outcome.MsgId;
    auto held = FTerminals[t].Held.extract(id);
    // A message that left the terminal's hands without its record here (taken back meanwhile,
    // or unknown) leaves this host unsent, to be read again.
    const auto released = [&] {
        Finished(id);
        decisions.push_back({TDecision::TKind::Release, t, id, {}, {}});
    };
    switch (outcome.Kind) {
    case TOutcomeKind::Acknowledged:
        Acknowledged(t, id, now, decisions);
        break;
    case TOutcomeKind::GivenUp: {
        TSMS sms;
        sms.Telephone = outcome.Telephone;
        GiveUp(id, sms, outcome.Reason, t, decisions);
        break;
    }
    case TOutcomeKind::Returned:
        released();
        break;
    case TOutcomeKind::Withdrawn:
        // Its claim is gone: it waits, first in line, to be claimed again.
        if (held.empty())
            released();
        else
            BackToPending(std::move(held.mapped()), true, decisions);
        break;
    case TOutcomeKind::Failed:
        if (held.empty())
            released();
        else
            Failed(t, outcome, std::move(held.mapped()), tick, now, decisions);
        break;
    case TOutcomeKind::MaybeSent:
        if (held.empty())
            released();
        else
            MaybeSent(t, outcome, std::move(held.mapped()), tick, now, decisions);
        break;
    }
    return decisions;
}

TDecisions TDispatch::TakenBack(size_t t, std::vector<TQueuedSms> messages, bool say) {
    TDecisions decisions;
    if (t >= FTerminals.size())
        return decisions;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        FTerminals[t].Held.erase(it->Sms.MsgId);
        BackToPending(std::move(*it), true, decisions);
    }
    if (!say || messages.empty())
        return decisions;
    Say(decisions,
        Several()
            ? FormatMessage("Сообщения GSM терминала переданы другим терминалам: %zu",
                            messages.size()) +
                  Tag(t)
            : FormatMessage("Сообщения GSM терминала возвращены в очередь: %zu", messages.size()));
    return decisions;
}

// Late or not: the network has it. The terminal's record of failures starts afresh.
void TDispatch::Acknowledged(size_t t, int32_t msgId, std::time_t now, TDecisions& decisions) {
    // A late answer: whether it waits for one or went back to the list meanwhile, it goes no more.
    std::erase_if(FParked, [&](const TParked& parked) { return parked.Sms.Sms.MsgId == msgId; });
    std::erase_if(FPending,
                  [&](const TPending& pending) { return pending.Sms.Sms.MsgId == msgId; });
    TTerminal& terminal = FTerminals[t];
    terminal.Limits.Sent(now);
    terminal.FailureRun.clear();
    terminal.SentSinceSuspension = true;
    terminal.SuspendSec = SuspendFirstSec;
    Finished(msgId);
    decisions.push_back({TDecision::TKind::Acknowledge, t, msgId, {}, {}});
}

void TDispatch::GiveUp(int32_t msgId, const TSMS& sms, const std::string& reason, size_t t,
                       TDecisions& decisions) {
    Finished(msgId);
    decisions.push_back({TDecision::TKind::GiveUp, t, msgId, reason, {}});
    Say(decisions, FormatMessage("Сообщение ID=%d не будет отправлено (тел=\"%s\"): ", msgId,
                                 sms.Telephone.c_str()) +
                       reason + Tag(t));
}

// A refusal is judged by its cause: the message's own counts against it, the SIM's or the
// subscription's suspends the terminal at once, and a network-wide one counts against the
// terminal. No answer before the PDU went (no prompt, a port failure) counts against the
// terminal too: the message was not sent.
void TDispatch::Failed(size_t t, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                       std::time_t now, TDecisions& decisions) {
    const int32_t id = outcome.MsgId;
    if (!outcome.Reason.empty()) {
        switch (RefusalKind(RefusalCause(outcome.Reason))) {
        case TRefusalKind::Message:
            Refused(t, outcome, std::move(sms), tick, decisions);
            return;
        case TRefusalKind::Subscription:
            BackToPending(std::move(sms), true, decisions);
            if (!FTerminals[t].Suspended)
                Suspend(t, "SIM-карта не может отправлять SMS (" + outcome.Reason + ")", tick, now,
                        decisions);
            return;
        case TRefusalKind::Network:
            FailedHere(t, id, "сеть не принимает SMS", tick, now, decisions);
            BackToPending(std::move(sms), true, decisions);
            return;
        }
    }
    TMemory& memory = FMemory[id];
    // One the terminal keeps failing on goes behind the others, so that it holds none back.
    const bool first = ++memory.Failures < FailuresToMoveBack;
    if (!first)
        memory.Failures = 0;
    FailedHere(t, id, "GSM терминал не отправляет SMS", tick, now, decisions);
    BackToPending(std::move(sms), first, decisions);
}

void TDispatch::FailedHere(size_t t, int32_t msgId, const char* why, uint32_t tick, std::time_t now,
                           TDecisions& decisions) {
    TTerminal& terminal = FTerminals[t];
    FMemory[msgId].FailedOn = t;
    terminal.FailureRun.insert(msgId);
    if (terminal.FailureRun.size() >= FailuresToSuspend && !terminal.Suspended)
        Suspend(t, why, tick, now, decisions);
}

// A refusal for the message's own cause counts against it only from a terminal that has sent
// since its last suspension (or the only one), and, while two or more terminals work, from two
// different ones. Until then it waits behind the others, and through another terminal if one
// works, so that it is not sent into the same refusal at the line's pace.
void TDispatch::Refused(size_t t, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                        TDecisions& decisions) {
    TTerminal& terminal = FTerminals[t];
    const int32_t id = outcome.MsgId;
    terminal.FailureRun.clear();
    TMemory& memory = FMemory[id];
    memory.Failures = 0;
    if (terminal.SentSinceSuspension || !Several()) {
        ++memory.Refusals;
        memory.RefusedBy.insert(t);
        if (memory.Refusals >= RefusalsToGiveUp &&
            (WorkingCount() < 2 || memory.RefusedBy.size() >= 2)) {
            GiveUp(id, sms.Sms, "сеть отклонила сообщение (" + outcome.Reason + ")", t, decisions);
            return;
        }
    }
    memory.Waiting = true;
    memory.RetryAfterTick = tick + RefusedPauseMs;
    memory.FailedOn = t;
    BackToPending(std::move(sms), false, decisions);
}

// The PDU went and no answer came: the network may have the message. It waits with its claim
// for a late answer, then goes once more; should that also go unanswered, it is held like a
// given-up message, since it may well have been delivered twice by then. A port that went
// away brings no late answer: the message goes again at once.
void TDispatch::MaybeSent(size_t t, const TOutcome& outcome, TQueuedSms sms, uint32_t tick,
                          std::time_t now, TDecisions& decisions) {
    const int32_t id = outcome.MsgId;
    FailedHere(t, id, "GSM терминал не отправляет SMS", tick, now, decisions);
    const bool portGone = outcome.ResultCode == static_cast<int32_t>(TGsmResult::PortIO) ||
                          outcome.ResultCode == static_cast<int32_t>(TGsmResult::PortNotReady);
    if (portGone) {
        Say(decisions,
            FormatMessage(Several()
                              ? "Сообщение ID=%d передано другому GSM терминалу: возможен повтор"
                              : "Сообщение ID=%d будет отправлено повторно: возможен повтор",
                          id) +
                Tag(t));
        BackToPending(std::move(sms), true, decisions);
        return;
    }
    if (++FMemory[id].MaybeSent >= 2) {
        GiveUp(id, sms.Sms, "сеть дважды не ответила на отправку, сообщение могло быть доставлено",
               t, decisions);
        return;
    }
    Say(decisions, FormatMessage("Сообщение ID=%d: сеть не ответила на отправку, сообщение могло "
                                 "быть доставлено",
                                 id) +
                       Tag(t));
    FParked.push_back({t, std::move(sms), tick + LateAnswerMs});
}

void TDispatch::BackToPending(TQueuedSms sms, bool first, TDecisions& decisions) {
    decisions.push_back({TDecision::TKind::Unclaim, 0, sms.Sms.MsgId, {}, {}});
    if (first)
        FPending.push_front({std::move(sms), std::nullopt});
    else
        FPending.push_back({std::move(sms), std::nullopt});
}

void TDispatch::Finished(int32_t msgId) {
    FMemory.erase(msgId);
}

} // namespace qvx
