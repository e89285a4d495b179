// TTerminalSlot, one running terminal as the worker sees it: its settings, its thread and its
// SIM, and TTerminalCarry, what the next terminal object takes over from it. The worker thread
// alone reads and changes a slot; the terminal thread inside is reached through TSiemens.
#pragma once

#include "infra/Config.h"
#include "terminal/HandledEntries.h"
#include "terminal/Siemens.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qvx {

// What one terminal object learnt about its SIM, handed to the next one after a reload: the
// PIN the SIM refused, the entries it failed to delete, the received texts the worker still
// holds or has confirmed, and the next reference of a long message.
struct TTerminalCarry {
    std::string RefusedPin;
    THandledEntries Handled;
    THandledEntries Awaiting;
    THandledEntries Confirmed;
    std::optional<uint8_t> ConcatRef; // none before the terminal's first start
};

// The worker's handle on one running terminal; what it holds and how it does is the dispatch's.
struct TTerminalSlot {
    TTerminalConfig Config;
    std::unique_ptr<TSiemens> Siemens;
    // Whose daily count this terminal keeps: its SIM's IMSI, or "terminal:<Name>" when the SIM
    // does not tell it. Empty until the terminal first works.
    std::string SimKey;

    bool Working() const {
        return Siemens && Siemens->GetState() == static_cast<int32_t>(TTerminalState::Working);
    }
};

} // namespace qvx
