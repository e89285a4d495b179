// The terminal thread: opening the port, initialising the terminal, and the working loop that
// sends, receives and watches unsolicited results until a failure asks for a fresh start.
#include "terminal/Siemens.h"

#include "infra/LogFile.h"
#include "infra/RepeatedFailure.h"
#include "terminal/RefusalCause.h"

#include <algorithm>
#include <ctime>

namespace qvx {

namespace {

// Refusals by the network ("+CMS ERROR") after which a message is given up.
constexpr int32_t RefusalsToGiveUp = 3;
// Failures without a refusal (no prompt, no answer) after which a message goes to the back of
// the queue, so that one the terminal chokes on does not hold the others back for ever.
constexpr int32_t FailuresToMoveBack = 3;

// How often the network is asked while the terminal reports no registration, so that sending
// resumes soon after the network is back.
constexpr uint32_t UnregisteredQueryMs = 5000;

// A registration that says the terminal is not in a network now: not registered, searching,
// denied, or not known to the terminal itself. A terminal that never answered at+creg? is not
// held: it may just not know the command.
bool IsUnregistered(int32_t registration) {
    return registration != static_cast<int32_t>(TRegistration::Unknown) &&
           registration != static_cast<int32_t>(TRegistration::Home) &&
           registration != static_cast<int32_t>(TRegistration::Roaming);
}

// Codes after which a message can never be sent: it leaves the queue.
bool IsHopeless(TGsmResult code) {
    return code == TGsmResult::EmptyPhone || code == TGsmResult::EmptyText;
}

} // namespace

TSiemens::TSiemens(TSiemensOptions options)
    : FOptions(std::move(options)), FSession(FOptions.Session, this),
      FStateSince(std::time(nullptr)), FHandledShared(FOptions.Session.Handled) {}

TSiemens::~TSiemens() = default;

void TSiemens::SetState(TTerminalState state) {
    FStateSince.store(std::time(nullptr), std::memory_order_release);
    FState.store(static_cast<int32_t>(state), std::memory_order_release);
}

std::string TSiemens::Imsi() const {
    std::lock_guard<std::mutex> lock(FImsiLock);
    return FImsi;
}

TNetworkStatus TSiemens::Network() const {
    std::lock_guard<std::mutex> lock(FNetworkLock);
    return FNetwork;
}

void TSiemens::Execute() {
    FSession.LogMessage("************************************");
    FSession.LogMessage("Начало работы с GSM терминалом...");
    for (;;) {
        try {
            OpenLoop();
            if (InitLoop()) {
                FSession.Close();
                FSession.LogMessage("Выполним инициализацию повторно");
                continue;
            }
            SetState(TTerminalState::Working);
            FNetworkQueried = false;
            for (;;) {
                if (Terminated()) {
                    SetState(TTerminalState::Stopped);
                    FSession.LogMessage("Поток работы с GSM терминалом завершен.");
                    return;
                }
                // Between passes, so that the queries never land inside another dialogue.
                if (NetworkQueryDue()) {
                    FNetworkQueried = true;
                    FNetworkQueriedTick = FOptions.Session.TickSource();
                    const TNetworkStatus network = FSession.QueryNetwork(Network());
                    std::lock_guard<std::mutex> lock(FNetworkLock);
                    FNetwork = network;
                }
                if (FReinitialise.exchange(false, std::memory_order_acq_rel) || WorkingPass())
                    break;
            }
        } catch (...) {
            // Only an allocation failure can get here; a fresh start is the best answer. The
            // message it cut short is free again, so that the owner may withdraw it.
            FOutgoing.ReleaseHead();
        }
        FSession.Close();
        FSession.LogMessage("Выполним инициализацию повторно");
    }
}

void TSiemens::OpenLoop() {
    FSession.LogMessage("Открытие порта \"%s\"", FOptions.Session.Device.c_str());
    SetState(TTerminalState::Opening);
    TRepeatedFailure failure;
    while (!Terminated()) {
        FSession.HoldLog(failure.Active());
        const std::optional<TPortFailure> failed = FSession.Open();
        if (!failed) {
            FSession.LogLines(failure.Succeeded());
            FSession.ReleaseLog(true);
            FSession.LogMessage("ОК");
            FSession.LogMessage("Инициализация GSM терминала...");
            return;
        }
        const std::string line =
            FormatMessage("Ошибка открытия %s: %s [%lu]", failed->Name.c_str(),
                          failed->Text.c_str(), static_cast<unsigned long>(failed->Code));
        FSession.ReleaseLog(!failure.Repeats(line));
        FSession.LogLines(failure.Failed(line));
        SleepMs(FOptions.Session.RetryPauseMs);
    }
}

// Returns true when the port itself went away: retrying the commands on a dead descriptor
// would never succeed, so the caller opens the port again.
bool TSiemens::InitLoop() {
    SetState(TTerminalState::Initializing);
    TRepeatedFailure failure;
    while (!Terminated()) {
        // Every attempt is a fresh initialisation: it answers a request made before it began.
        FReinitialise.store(false, std::memory_order_release);
        FSession.HoldLog(failure.Active());
        const TGsmResult result = FSession.Initialise();
        FPinWait.store(static_cast<int32_t>(FSession.PinWait()), std::memory_order_release);
        if (result == TGsmResult::OK) {
            PublishImsi();
            FSession.LogLines(failure.Succeeded());
            FSession.ReleaseLog(true);
            FSession.LogMessage("Инициализация GSM терминала успешно завершена");
            FSession.LogMessage("Начинаем работу...");
            return false;
        }
        const auto code = static_cast<int32_t>(result);
        const std::string line =
            FormatMessage("Ошибка: %s [код=%d]", ResultText(code).c_str(), code);
        FSession.ReleaseLog(!failure.Repeats(line));
        FSession.LogLines(failure.Failed(line));
        if (FSession.PortBroken())
            return true;
        SleepMs(FOptions.Session.RetryPauseMs);
    }
    return false;
}

void TSiemens::PublishImsi() {
    std::string imsi = FSession.Imsi();
    std::lock_guard<std::mutex> lock(FImsiLock);
    FImsi = std::move(imsi);
}

bool TSiemens::WorkingPass() {
    bool reinitialise = false;
    SendFirstQueued(reinitialise);
    ApplyConfirmations();
    if (!FOptions.Receive)
        return WatchPass() || reinitialise;
    const TReceiveResult received = FSession.Receive();
    PublishHandled();
    for (const TSMS& sms : received.Messages)
        FIncoming.Push(sms);
    if (received.Code != TGsmResult::OK && received.Code != TGsmResult::NoSMS && !Terminated()) {
        const auto code = static_cast<int32_t>(received.Code);
        FSession.LogMessage("Ошибка получения SMS: %s [код=%d]", ResultText(code).c_str(), code);
        reinitialise = true;
    }
    TakeUnsolicited();
    return reinitialise;
}

// A terminal that only sends leaves the SIM's messages alone and still takes calls and USSD
// results; true when the line went dead.
bool TSiemens::WatchPass() {
    const TGsmResult watched = FSession.Watch();
    TakeUnsolicited();
    if (watched == TGsmResult::OK || Terminated())
        return false;
    const auto code = static_cast<int32_t>(watched);
    FSession.LogMessage("Ошибка связи с GSM терминалом: %s [код=%d]", ResultText(code).c_str(),
                        code);
    return true;
}

THandledEntries TSiemens::HandledNow() const {
    std::lock_guard<std::mutex> lock(FHandledLock);
    return FHandledShared;
}

void TSiemens::ConfirmReceived(const TSMS& sms) {
    if (sms.SimIndex < 0)
        return;
    std::lock_guard<std::mutex> lock(FConfirmLock);
    FConfirmations.emplace_back(sms.SimIndex, sms.SimPdu);
}

void TSiemens::ApplyConfirmations() {
    std::vector<std::pair<int32_t, std::string>> confirmations;
    {
        std::lock_guard<std::mutex> lock(FConfirmLock);
        confirmations.swap(FConfirmations);
    }
    for (const auto& [index, pdu] : confirmations)
        FSession.Confirm(index, pdu);
}

THandledEntries TSiemens::Awaiting() {
    ApplyConfirmations();
    return FSession.Awaiting();
}

void TSiemens::PublishHandled() {
    if (FSession.Handled().Entries() == FHandledShared.Entries())
        return; // only this thread writes the copy, so reading it unlocked here is safe
    std::lock_guard<std::mutex> lock(FHandledLock);
    FHandledShared = FSession.Handled();
}

// One event a pass: a call is recorded only with caller identification on, a USSD result
// reaches the worker as a flash message from "USSD".
void TSiemens::TakeUnsolicited() {
    const TUnsolicitedEvent event = FSession.NextUnsolicited();
    if (event.Kind == TUnsolicitedKind::Call && FOptions.Session.Clip) {
        FRings.Push({event.Telephone, Now(), event.International, 1});
    } else if (event.Kind == TUnsolicitedKind::Ussd) {
        TSMS sms;
        sms.Telephone = "USSD";
        sms.Text = event.UssdText;
        sms.Flash = true;
        FIncoming.Push(sms);
    }
}

// True right after an initialisation and then once every NetworkPeriodMs, more often while
// the terminal reports no registration.
bool TSiemens::NetworkQueryDue() const {
    const uint32_t periodMs = FUnregistered
                                  ? std::min(FOptions.NetworkPeriodMs, UnregisteredQueryMs)
                                  : FOptions.NetworkPeriodMs;
    return !FNetworkQueried ||
           uint32_t(FOptions.Session.TickSource() - FNetworkQueriedTick) >= periodMs;
}

// Without a network every submission would fail: nothing is tried and nothing counted until
// the terminal reports a registration again.
bool TSiemens::HeldForRegistration() {
    const bool unregistered = IsUnregistered(Network().Registration);
    if (unregistered != FUnregistered)
        FSession.LogMessage(unregistered
                                ? "Нет регистрации в сети: отправка приостановлена"
                                : "Регистрация в сети восстановлена: отправка возобновлена");
    FUnregistered = unregistered;
    return unregistered;
}

// The message stays queued while it is sent, so a failure that points to the terminal leaves
// it first in line for the next attempt.
void TSiemens::SendFirstQueued(bool& reinitialise) {
    TQueuedSms queued;
    if (HeldForRegistration() || !FHold.MayTry(FOptions.Session.TickSource()) ||
        !FOutgoing.PeekForSubmission(queued))
        return;
    const TSMS& sms = queued.Sms;
    if (!StillDue(sms))
        return;
    if (!StillClaimed(sms)) {
        Withdrawn(sms, 0);
        return;
    }
    TSubmitResult result =
        FSession.Submit(queued.Prepared, [this, &sms] { return StillClaimed(sms); });
    if (result.Stopped) {
        Withdrawn(sms, result.References.size());
        return;
    }
    if (result.Code == TGsmResult::OK) {
        FOutgoing.Pop(queued);
        FRefusalCount = 0;
        FFailureCount = 0;
        EndHold();
        FSession.LogMessage("SMS тел=\"%s\" текст=\"%s\" отправлена", sms.Telephone.c_str(),
                            sms.Text.c_str());
        Report({sms.MsgId,
                TOutcomeKind::Acknowledged,
                0,
                sms.Telephone,
                {},
                std::move(result.References)});
        return;
    }
    const auto code = static_cast<int32_t>(result.Code);
    FSession.LogMessage("Ошибка отправки SMS: %s [тел=\"%s\" текст=\"%s\" код=%d]",
                        ResultText(code).c_str(), queued.Prepared.Digits.c_str(),
                        queued.Prepared.Text.c_str(), code);
    // A refusal is an answer: the terminal works, and starting it over would cure nothing.
    const bool refused = !result.Refusal.empty();
    if (FOptions.ReportFailures && !IsHopeless(result.Code)) {
        ReportFailure(sms, result);
        reinitialise = !refused;
        return;
    }
    reinitialise = !GiveUpAfterFailure(queued, result) && !refused;
}

// One of several terminals does not count failures itself: the owner sees every terminal's
// and can tell a message the network will not take from a terminal that does not work. Only
// the hold after network-wide refusals stays here, as it concerns this terminal's SIM alone.
void TSiemens::ReportFailure(const TSMS& sms, const TSubmitResult& result) {
    if (!result.Refusal.empty()) {
        if (RefusalKind(RefusalCause(result.Refusal)) == TRefusalKind::Network)
            HoldAfterNetworkRefusal(result);
        else
            EndHold();
    }
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    Report({sms.MsgId,
            TOutcomeKind::Failed,
            static_cast<int32_t>(result.Code),
            sms.Telephone,
            result.Refusal,
            {}});
}

bool TSiemens::StillDue(const TSMS& sms) {
    if (!FOptions.SendCheck)
        return true;
    std::string reason;
    const TSendVerdict verdict = FOptions.SendCheck(sms, reason);
    if (verdict == TSendVerdict::Send)
        return true;
    if (verdict == TSendVerdict::GiveUp) {
        FSession.LogMessage("SMS тел=\"%s\" не отправлена: %s", sms.Telephone.c_str(),
                            reason.c_str());
        GiveUp(sms, TGsmResult::OK, std::move(reason));
        return false;
    }
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    FSession.LogMessage("SMS тел=\"%s\" отложена: %s", sms.Telephone.c_str(), reason.c_str());
    Report({sms.MsgId, TOutcomeKind::Returned, 0, sms.Telephone, std::move(reason), {}});
    return false;
}

bool TSiemens::StillClaimed(const TSMS& sms) const {
    return !FOptions.ClaimCheck || FOptions.ClaimCheck(sms);
}

// The parts that went are lost: the whole message goes again once it is claimed anew.
void TSiemens::Withdrawn(const TSMS& sms, size_t partsSent) {
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    FSession.LogMessage("SMS тел=\"%s\" возвращена (отправлено частей: %zu): служба больше не "
                        "держит её в базе данных",
                        sms.Telephone.c_str(), partsSent);
    Report({sms.MsgId, TOutcomeKind::Withdrawn, 0, sms.Telephone, {}, {}});
}

// A refusal counts against the message only when the network refused this very message
// again for a cause that is the message's own; a network-wide or unknown cause and any other
// failure leave the count alone.
bool TSiemens::GiveUpAfterFailure(const TQueuedSms& queued, const TSubmitResult& result) {
    const TSMS& sms = queued.Sms;
    if (IsHopeless(result.Code)) {
        GiveUp(sms, result.Code, ResultText(static_cast<int32_t>(result.Code)));
        return true;
    }
    if (!result.Refusal.empty() &&
        RefusalKind(RefusalCause(result.Refusal)) == TRefusalKind::Network) {
        NetworkRefused(result);
        return false;
    }
    if (!result.Refusal.empty()) {
        EndHold();
        if (FRefusalCount == 0 || FRefused != sms) {
            FRefused = sms;
            FRefusalCount = 0;
        }
        if (++FRefusalCount >= RefusalsToGiveUp) {
            FRefusalCount = 0;
            GiveUp(sms, result.Code, "сеть отклонила сообщение (" + result.Refusal + ")");
            return true;
        }
        FOutgoing.ReleaseHead();
        return false;
    }
    if (FFailureCount == 0 || FFailed != sms) {
        FFailed = sms;
        FFailureCount = 0;
    }
    if (++FFailureCount >= FailuresToMoveBack) {
        FFailureCount = 0;
        FOutgoing.ReleaseHeadToBack();
        return false;
    }
    FOutgoing.ReleaseHead();
    return false;
}

// Nobody's message's fault: the message goes behind the others, so that a cause that is in
// fact this message's alone does not hold the rest back, and a run of such refusals holds the
// queue rather than send every message into a network that takes none.
void TSiemens::NetworkRefused(const TSubmitResult& result) {
    FOutgoing.ReleaseHeadToBack();
    HoldAfterNetworkRefusal(result);
}

void TSiemens::HoldAfterNetworkRefusal(const TSubmitResult& result) {
    if (FHold.NetworkRefused(FOptions.Session.TickSource()))
        FSession.LogMessage("Сеть не принимает SMS (%s): отправка приостановлена",
                            result.Refusal.c_str());
}

void TSiemens::EndHold() {
    if (FHold.Answered())
        FSession.LogMessage("Сеть снова принимает SMS: отправка возобновлена");
}

void TSiemens::GiveUp(const TSMS& sms, TGsmResult code, std::string reason) {
    const TOutcome outcome{sms.MsgId,     TOutcomeKind::GivenUp, static_cast<int32_t>(code),
                           sms.Telephone, std::move(reason),     {}};
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    Report(outcome);
}

void TSiemens::Report(TOutcome outcome) {
    FOutcomes.Push(std::move(outcome));
    if (FOptions.OnOutcome)
        FOptions.OnOutcome();
}

} // namespace qvx
