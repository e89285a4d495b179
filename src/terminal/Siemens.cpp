// The terminal thread: opening the port, initialising the terminal, and the working loop that
// sends, receives and watches unsolicited results until a failure asks for a fresh start.
#include "terminal/Siemens.h"

#include "infra/BootClock.h"
#include "infra/LogFile.h"
#include "infra/RepeatedFailure.h"
#include "terminal/RefusalCause.h"

#include <algorithm>
#include <ctime>

namespace qvx {

namespace {

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
    std::lock_guard<std::mutex> lock(FSimLock);
    return FImsi;
}

std::optional<std::string> TSiemens::Iccid() const {
    std::lock_guard<std::mutex> lock(FSimLock);
    return FIccid;
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
                    {
                        std::lock_guard<std::mutex> lock(FNetworkLock);
                        FNetwork = network;
                    }
                    TakeLateAnswers();
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
            PublishSim();
            FSession.LogLines(failure.Succeeded());
            FSession.ReleaseLog(true);
            FSession.LogMessage("Инициализация GSM терминала успешно завершена");
            TakeLateAnswers();
            FSession.LogMessage("Начинаем работу...");
            return false;
        }
        const auto code = static_cast<int32_t>(result);
        const std::string line =
            FormatMessage("Ошибка: %s [код=%d]", ResultText(code).c_str(), code);
        FSession.ReleaseLog(!failure.Repeats(line));
        FSession.LogLines(failure.Failed(line));
        // Past the hold: a late answer is news even when the failure is not.
        TakeLateAnswers();
        if (FSession.PortBroken())
            return true;
        SleepMs(FOptions.Session.RetryPauseMs);
    }
    return false;
}

void TSiemens::PublishSim() {
    PublishHandled();
    std::string imsi = FSession.Imsi();
    std::string iccid = FSession.Iccid();
    std::lock_guard<std::mutex> lock(FSimLock);
    FImsi = std::move(imsi);
    FIccid = std::move(iccid);
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
    TakeLateAnswers();
    return reinitialise;
}

// A terminal that only sends leaves the SIM's messages alone and still takes calls and USSD
// results; true when the line went dead.
bool TSiemens::WatchPass() {
    const TGsmResult watched = FSession.Watch();
    TakeUnsolicited();
    TakeLateAnswers();
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

// The message stays queued while it is sent, so that Withdraw() never takes it from under the
// submission; whatever the submission ends in, it leaves the queue.
void TSiemens::SendFirstQueued(bool& reinitialise) {
    TQueuedSms queued;
    if (HeldForRegistration() || !FHold.MayTry(FOptions.Session.TickSource()) ||
        !FOutgoing.PeekForSubmission(queued))
        return;
    const TSMS& sms = queued.Sms;
    if (!StillDue(sms))
        return;
    const TClaimVerdict verdict = ClaimVerdict(sms);
    if (verdict == TClaimVerdict::Wait)
        return;
    if (verdict == TClaimVerdict::Withdraw) {
        Withdrawn(sms, 0);
        return;
    }
    TSubmitResult result = FSession.Submit(
        queued.Prepared, [this, &sms] { return ClaimVerdict(sms) == TClaimVerdict::Go; });
    // Answers to earlier messages that came in front of this one's belong to them.
    TakeLateAnswers();
    if (result.Stopped) {
        Withdrawn(sms, result.References.size());
        return;
    }
    if (result.Code == TGsmResult::OK) {
        Sent(sms, std::move(result.References));
        return;
    }
    // Silence is no answer: the terminal is started over, as after any failure without one. A
    // refusal is an answer: the terminal works, and starting it over would cure nothing. A
    // message that can never be sent never reached the terminal.
    reinitialise = result.Refusal.empty() && !IsHopeless(result.Code);
    if (result.Unanswered)
        MaybeSent(queued, result);
    else
        Failed(queued, result);
}

void TSiemens::Sent(const TSMS& sms, std::vector<int32_t> references) {
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    FLastAckBootMs = BootMs();
    EndHold();
    FSession.LogMessage("SMS тел=\"%s\" текст=\"%s\" отправлена", sms.Telephone.c_str(),
                        sms.Text.c_str());
    Report({sms.MsgId, TOutcomeKind::Acknowledged, 0, sms.Telephone, {}, std::move(references)});
}

// The owner sees every terminal's failures and can tell a message the network will not take
// from a terminal that does not work. Only the hold after refusals that are no message's fault
// stays here, as it concerns this terminal's SIM alone.
void TSiemens::Failed(const TQueuedSms& queued, const TSubmitResult& result) {
    const auto code = static_cast<int32_t>(result.Code);
    FSession.LogMessage("Ошибка отправки SMS: %s [тел=\"%s\" текст=\"%s\" код=%d]",
                        ResultText(code).c_str(), queued.Prepared.Digits.c_str(),
                        queued.Prepared.Text.c_str(), code);
    if (IsHopeless(result.Code)) {
        GiveUp(queued.Sms, result.Code, ResultText(code));
        return;
    }
    if (!result.Refusal.empty()) {
        if (RefusalKind(RefusalCause(result.Refusal)) == TRefusalKind::Message)
            EndHold();
        else
            HoldAfterRefusal(result);
    }
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    Report({queued.Sms.MsgId,
            TOutcomeKind::Failed,
            static_cast<int32_t>(result.Code),
            queued.Sms.Telephone,
            result.Refusal,
            {}});
}

// The network may have it: sent again at once, it could arrive twice. The owner holds it back
// for LateAnswerMs, and an answer that comes meanwhile acknowledges it.
void TSiemens::MaybeSent(const TQueuedSms& queued, const TSubmitResult& result) {
    const TSMS& sms = queued.Sms;
    FLastAckBootMs = BootMs(); // it may have gone: the next one waits as after an acknowledgement
    FSession.LogMessage("SMS тел=\"%s\" возможно отправлена: сеть не ответила за %d с",
                        sms.Telephone.c_str(), static_cast<int>(TAtSession::FrameWait.count()));
    FLateAnswers.Remember({sms.MsgId, sms.Telephone, result.WrittenTick, result.References,
                           result.References.size() + 1 >= queued.Prepared.Parts.size()});
    TQueuedSms taken;
    FOutgoing.Pop(taken);
    // A port that went away brings no late answer: the owner need not wait for one.
    const TGsmResult code = FSession.PortBroken() ? TGsmResult::PortIO : result.Code;
    Report({sms.MsgId,
            TOutcomeKind::MaybeSent,
            static_cast<int32_t>(code),
            sms.Telephone,
            {},
            result.References});
}

// A late answer of a message whose later parts never went completes nothing: it is logged,
// and the owner sends the whole message again once its hold is over.
void TSiemens::TakeLateAnswers() {
    for (const int32_t reference : FSession.TakeLateReferences()) {
        const uint32_t nowTick = FOptions.Session.TickSource();
        std::optional<TLateAnswers::TEntry> entry = FLateAnswers.Match(reference, nowTick);
        if (!entry) {
            FSession.LogMessage("Ответ сети с опозданием не относится ни к одной SMS: +CMGS: %d",
                                reference);
            continue;
        }
        const auto lateSec = static_cast<unsigned>(uint32_t(nowTick - entry->WrittenTick) / 1000);
        if (!entry->LastPart) {
            FSession.LogMessage("SMS тел=\"%s\": сеть ответила с опозданием (%u с), но не все "
                                "части отправлены",
                                entry->Telephone.c_str(), lateSec);
            continue;
        }
        FSession.LogMessage("SMS тел=\"%s\" отправлена: сеть ответила с опозданием (%u с)",
                            entry->Telephone.c_str(), lateSec);
        Report({entry->MsgId,
                TOutcomeKind::Acknowledged,
                0,
                entry->Telephone,
                {},
                std::move(entry->References)});
    }
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

TClaimVerdict TSiemens::ClaimVerdict(const TSMS& sms) const {
    return FOptions.ClaimCheck ? FOptions.ClaimCheck(sms, FLastAckBootMs) : TClaimVerdict::Go;
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

// A refusal that is no message's fault, the network's or this SIM's: a run of them holds the
// queue rather than send every message into a network that takes none.
void TSiemens::HoldAfterRefusal(const TSubmitResult& result) {
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
