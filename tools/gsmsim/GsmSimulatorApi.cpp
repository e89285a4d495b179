// The simulator's settings, injections, SIM store and records, for any thread.
#include "gsmsim/GsmSimulator.h"

namespace qvx {

void TGsmSimulator::SetLinkPath(std::string path) {
    std::lock_guard lock(FLock);
    FLinkPath = std::move(path);
}

std::string TGsmSimulator::SlavePath() const {
    std::lock_guard lock(FLock);
    return FSlavePath;
}

std::string TGsmSimulator::LinkPath() const {
    std::lock_guard lock(FLock);
    return FLinkPath;
}

std::string TGsmSimulator::LastError() const {
    std::lock_guard lock(FLock);
    return FLastError;
}

bool TGsmSimulator::Plugged() const {
    return !SlavePath().empty();
}

void TGsmSimulator::SetPin(std::string pin) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Pin = std::move(pin);
}

void TGsmSimulator::SetIccid(std::string iccid) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Iccid = std::move(iccid);
}

void TGsmSimulator::SetImsi(std::string imsi) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Imsi = std::move(imsi);
}

void TGsmSimulator::SetSimBusyCount(int32_t count) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.SimBusyCount = count;
}

void TGsmSimulator::SetPinAnswersLost(int32_t count) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.PinAnswersLost = count;
}

void TGsmSimulator::SetRegistration(int32_t registration) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Registration = registration;
}

void TGsmSimulator::SetSignalRssi(int32_t rssi) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.SignalRssi = rssi;
}

void TGsmSimulator::SetSubmitReply(TSubmitReply reply, int32_t count, int32_t cmsError) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.SubmitReply = reply;
    FDialogue.FSettings.SubmitReplyCount = count;
    FDialogue.FSettings.CmsError = cmsError;
}

void TGsmSimulator::SetDeleteFails(bool fails) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.DeleteFails = fails;
}

void TGsmSimulator::SetRefusedNumber(const std::string& digits, int32_t cmsError) {
    std::lock_guard lock(FLock);
    if (cmsError == 0)
        FDialogue.FSettings.RefusedNumbers.erase(digits);
    else
        FDialogue.FSettings.RefusedNumbers[digits] = cmsError;
}

void TGsmSimulator::SetDeleteError(int32_t index, int32_t cmsError) {
    std::lock_guard lock(FLock);
    if (cmsError == 0)
        FDialogue.FSettings.DeleteErrors.erase(index);
    else
        FDialogue.FSettings.DeleteErrors[index] = cmsError;
}

int32_t TGsmSimulator::PinAttemptsLeft() const {
    std::lock_guard lock(FLock);
    return FDialogue.PinAttemptsLeft();
}

void TGsmSimulator::SetSilent(bool silent) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Hung = silent;
}

void TGsmSimulator::SetAnswerDelayMs(uint32_t delayMs) {
    std::lock_guard lock(FLock);
    FAnswerDelayMs = delayMs;
}

void TGsmSimulator::SetBaudRate(int32_t baud) {
    {
        std::lock_guard lock(FLock);
        FBaudRate = baud > 0 ? baud : 0;
    }
    Wake();
}

void TGsmSimulator::SetEndless(bool endless) {
    {
        std::lock_guard lock(FLock);
        FEndless = endless;
    }
    Wake();
}

void TGsmSimulator::SetListingPadBytes(size_t bytes) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.ListingPadBytes = bytes;
}

void TGsmSimulator::SetListingInterjection(std::string bytes) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.ListingInterjection = std::move(bytes);
}

void TGsmSimulator::SetSubmitInterjection(std::string bytes) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.SubmitInterjection = std::move(bytes);
}

void TGsmSimulator::SetPromptInterjection(std::string bytes) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.PromptInterjection = std::move(bytes);
}

void TGsmSimulator::SetNetworkDelayMs(uint32_t delayMs, int32_t count) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.NetworkDelayMs = delayMs;
    FDialogue.FSettings.NetworkDelayCount = count;
}

void TGsmSimulator::SetTextMode(bool textMode) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.TextModeAtPowerOn = textMode;
    FDialogue.SetTextMode(textMode);
}

void TGsmSimulator::SetPduModeRefused(bool refused) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.PduModeRefused = refused;
}

bool TGsmSimulator::TextMode() const {
    std::lock_guard lock(FLock);
    return FDialogue.TextMode();
}

void TGsmSimulator::SetStrictLength(bool strict) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.StrictLength = strict;
}

void TGsmSimulator::SetStoreCapacity(int32_t capacity) {
    std::lock_guard lock(FLock);
    FDialogue.FSettings.Capacity = capacity;
}

void TGsmSimulator::InjectLine(std::string_view text) {
    InjectBytes("\r\n" + std::string(text) + "\r\n");
}

void TGsmSimulator::InjectBytes(std::string_view bytes) {
    {
        std::lock_guard lock(FLock);
        QueueLocked(bytes, TClock::now());
    }
    Wake();
}

std::vector<int32_t> TGsmSimulator::StoreText(std::string_view number, std::string_view utf8Text,
                                              bool concatenate) {
    std::lock_guard lock(FLock);
    return FDialogue.StoreText(number, utf8Text, concatenate);
}

int32_t TGsmSimulator::StorePdu(std::string_view hex) {
    std::lock_guard lock(FLock);
    return FDialogue.StorePdu(hex);
}

std::vector<TStoredSms> TGsmSimulator::Stored() const {
    std::lock_guard lock(FLock);
    std::vector<TStoredSms> stored;
    for (const auto& [index, sms] : FDialogue.Stored())
        stored.push_back(sms);
    return stored;
}

size_t TGsmSimulator::StoredCount() const {
    std::lock_guard lock(FLock);
    return FDialogue.Stored().size();
}

void TGsmSimulator::ClearStored() {
    std::lock_guard lock(FLock);
    FDialogue.ClearStored();
}

std::vector<TSubmittedSms> TGsmSimulator::Submitted() const {
    std::lock_guard lock(FLock);
    return FDialogue.Submitted();
}

size_t TGsmSimulator::SubmittedCount() const {
    std::lock_guard lock(FLock);
    return FDialogue.Submitted().size();
}

void TGsmSimulator::ClearSubmitted() {
    std::lock_guard lock(FLock);
    FDialogue.ClearSubmitted();
}

bool TGsmSimulator::WaitForSubmitted(size_t count, uint32_t timeoutMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return FDialogue.Submitted().size() >= count; });
}

bool TGsmSimulator::WaitForAcknowledged(uint64_t serial, uint32_t timeoutMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const TSubmittedSms& sms : FDialogue.Submitted())
            if (sms.Serial == serial)
                return sms.Acknowledged;
        return false;
    });
}

int32_t TGsmSimulator::CommandCount(const std::string& head) const {
    std::lock_guard lock(FLock);
    return FDialogue.CommandCount(head);
}

bool TGsmSimulator::WaitForCommandCount(const std::string& head, int32_t count,
                                        uint32_t timeoutMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return FDialogue.CommandCount(head) >= count; });
}

std::vector<std::string> TGsmSimulator::CommandLog() const {
    std::lock_guard lock(FLock);
    return {FDialogue.CommandLog().begin(), FDialogue.CommandLog().end()};
}

std::vector<int32_t> TGsmSimulator::DeletedIndexes() const {
    std::lock_guard lock(FLock);
    return FDialogue.DeletedIndexes();
}

bool TGsmSimulator::EchoOn() const {
    std::lock_guard lock(FLock);
    return FDialogue.EchoOn();
}

uint64_t TGsmSimulator::BytesSent() const {
    std::lock_guard lock(FLock);
    return FBytesSent;
}

void TGsmSimulator::SetSubmittedHandler(std::function<void(const TSubmittedSms&)> handler) {
    std::lock_guard lock(FLock);
    FOnSubmitted = std::move(handler);
}

} // namespace qvx
