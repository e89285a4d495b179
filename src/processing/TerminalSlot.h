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
    // Whose entries Handled holds, and the key they are kept under in the state file: the
    // SIM's ICCID, or UnnamedSim(number) when it does not tell it. Empty until the terminal
    // first came up.
    std::string EntriesSim;
    THandledEntries Awaiting;
    THandledEntries Confirmed;
    std::optional<uint8_t> ConcatRef; // none before the terminal's first start
};

// The key of the entries of terminal number's SIM when the SIM does not tell its ICCID.
inline std::string UnnamedSim(int32_t number) {
    return "terminal:" + std::to_string(number);
}
inline std::string EntriesSimOf(const std::string& iccid, int32_t number) {
    return iccid.empty() ? UnnamedSim(number) : iccid;
}

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
