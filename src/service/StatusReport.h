// The ways the service's status is shown: Russian lines for an operator's terminal, one JSON
// object for monitoring scripts, and one short line for the service manager. Pure functions of
// a status copy; times are shown in the local time zone, in JSON as UTC.
#pragma once

#include "processing/WorkerStatus.h"

#include <string>
#include <vector>

namespace qvx {

// The last line of each log that reports an error, as written (cp1251, with its stamp);
// empty when there is none.
struct TLogErrors {
    std::string Service;
    std::string Terminal;
    // Of each terminal in TWorkerStatus::Terminals, in its order (terminal 1's is Terminal);
    // missing entries count as empty.
    std::vector<std::string> Terminals = {};
};

// The log of the terminal at index of TWorkerStatus::Terminals: "Siemens.log" for terminal 1,
// "Siemens-<Name>.log" for the others; empty when the name could not name a file of the
// service's folder.
std::string TerminalLogName(const TWorkerStatus& status, size_t index);

// cp1251 lines without line ends; texts from the logs and the database as they are. With
// several terminals a line for each follows terminal 1's lines; the claims of this host and
// the other hosts on its database come last.
std::vector<std::string> StatusLines(const TWorkerStatus& status, const TLogErrors& logs);
// UTF-8, one object on one line with its line feed.
std::string StatusJson(const TWorkerStatus& status, const TLogErrors& logs);
// cp1251, one line.
std::string StatusShort(const TWorkerStatus& status);

} // namespace qvx
