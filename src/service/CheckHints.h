// What to do about a failed step of --check: one line for each, said to the administrator in
// Russian (Windows-1251). Pure, apart from reading the folder of serial device names and the
// group database, so that every hint can be tested on its own.
#pragma once

#include <cstdint>
#include <string>

namespace qvx {

// Where udev lists the serial devices by a name that survives a reboot and another USB port.
constexpr const char* SerialByIdDir = "/dev/serial/by-id/";
constexpr const char* SampleIniPath = "/usr/share/quorvexsms/QuorvexSMS.ini.sample";
constexpr const char* ServiceUser = "quorvexsms";
constexpr const char* SerialGroup = "dialout";

// The report line of a hint, under the failed step's result.
std::string HintLine(const std::string& hint);

std::string IniFileHint(const std::string& iniFileName);
std::string RequiredSettingsHint(const std::string& iniFileName);
// The terminal sections hold values the service refuses to start with.
std::string TerminalSectionsHint(const std::string& iniFileName);
std::string ConnectionHint(const std::string& host, int32_t port);
// The connection works but the database's answers fail the step.
std::string DatabaseContentHint();
// error: the port's code (ComNoSuchPort, ComPortBusy, ...); byIdDir lists the devices present.
std::string PortHint(uint32_t error, const std::string& byIdDir = SerialByIdDir);
std::string TerminalHint();

// Whether user exists and belongs to group (as its primary or a supplementary group).
bool UserInGroup(const char* user, const char* groupName);

} // namespace qvx
