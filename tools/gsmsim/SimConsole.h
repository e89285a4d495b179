// The operator's command language of the gsmsim program: one command a line, from stdin or a
// control socket, carried out on a TGsmSimulator. Used on the program's main thread.
#pragma once

#include "gsmsim/GsmSimulator.h"

#include <string>
#include <string_view>

namespace qvx {

// "\r", "\n", "\t", "\\", "\0" and "\xHH" in operator text become the bytes they name.
std::string UnescapeText(std::string_view text);

class TSimConsole {
public:
    explicit TSimConsole(TGsmSimulator& simulator) : FSim(simulator) {}

    // The reply, one or more lines each ending in LF; quit is set by "quit".
    std::string Execute(std::string_view line, bool& quit);
    static std::string Help();

private:
    std::string Store(std::string_view arguments);
    std::string StorePdu(std::string_view arguments);
    std::string ListSubmitted() const;
    std::string ListStored() const;
    std::string SetReply(std::string_view arguments);
    std::string SetRefused(std::string_view arguments);
    std::string SetDeleteError(std::string_view arguments);
    std::string SetNumber(std::string_view command, std::string_view arguments);
    std::string SetNetwork(std::string_view command, std::string_view arguments);
    std::string SetSwitch(std::string_view command, std::string_view arguments);
    std::string PlugState() const;

    TGsmSimulator& FSim;
};

} // namespace qvx
