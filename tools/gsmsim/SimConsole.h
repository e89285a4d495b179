// The operator's command language of the gsmsim program: one command a line, from stdin or a
// control socket, carried out on a TGsmSimulator. Used on the program's main thread.
#pragma once

#include "gsmsim/GsmSimulator.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The console of a program with several terminals: "@N COMMAND" carries out one command on
// terminal N, "terminal N" makes N the terminal of the lines that follow from the same source,
// "terminals" lists them; any other line goes to that source's terminal. Terminals count from
// 1; the caller keeps each source's terminal. Used on the program's main thread.
class TSimRouter {
public:
    explicit TSimRouter(const std::vector<TGsmSimulator*>& simulators);

    std::string Execute(std::string_view line, int32_t& current, bool& quit);

private:
    std::string Select(std::string_view number, int32_t& current) const;
    std::string List() const;

    std::vector<TGsmSimulator*> FSims;
    std::vector<TSimConsole> FConsoles;
};

} // namespace qvx
