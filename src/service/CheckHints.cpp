#include "service/CheckHints.h"

#include "infra/Com.h"

#include <algorithm>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <vector>

namespace qvx {

namespace {

// The names in dir, sorted; none when it is missing (no USB serial device was ever seen).
std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string MissingPortHint(const std::string& byIdDir) {
    const std::vector<std::string> names = NamesIn(byIdDir);
    if (names.empty())
        return "в " + byIdDir +
               " нет ни одного устройства: подключите терминал и проверьте "
               "кабель, или задайте Device для встроенного порта (COM1 = "
               "/dev/ttyS0)";
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return "есть устройства " + byIdDir + ": " + list + "; задайте Device=" + byIdDir + "<имя>";
}

} // namespace

std::string HintLine(const std::string& hint) {
    return "  подсказка: " + hint;
}

std::string IniFileHint(const std::string& iniFileName) {
    return std::string("создайте ") + iniFileName + " из образца " + SampleIniPath +
           " или укажите каталог с ним: --dir КАТАЛОГ";
}

std::string RequiredSettingsHint(const std::string& iniFileName) {
    return "задайте или исправьте эти параметры в " + iniFileName +
           " (образец с пояснениями: " + SampleIniPath + ")";
}

std::string TerminalSectionsHint(const std::string& iniFileName) {
    return "исправьте секции [GSMTerminal], [GSMTerminal2]... в " + iniFileName +
           ": у каждого терминала своё имя Name (латинские буквы, цифры, '-' и '_') и свой порт "
           "Device, значения - как в образце " +
           SampleIniPath + "; пока они не исправлены, служба не запустится";
}

std::string ConnectionHint(const std::string& host, int32_t port) {
    const std::string where = host + ":" + std::to_string(port);
    return "принимает ли PostgreSQL подключения на " + where + "? Проверьте: pg_isready -h " +
           host + " -p " + std::to_string(port) + "; затем DBName, UserName, Password и SSLMode";
}

std::string DatabaseContentHint() {
    return "подключение есть, но база не та или у пользователя нет прав: проверьте DBName и "
           "права на appconfig, msglog, msgdelivery, abonents и prepare_acc_info";
}

std::string PortHint(uint32_t error, const std::string& byIdDir) {
    if (error == ComNoSuchPort)
        return MissingPortHint(byIdDir);
    if (error == ComPortBusy) {
        if (getpwnam(ServiceUser) != nullptr && !UserInGroup(ServiceUser, SerialGroup))
            return std::string("пользователь ") + ServiceUser + " не входит в группу " +
                   SerialGroup + ": usermod -aG " + SerialGroup + " " + ServiceUser;
        return "порт занят другой программой (найдите её: fuser -v УСТРОЙСТВО) или у того, кто "
               "запустил проверку, нет прав на него";
    }
    if (error == ComBadName)
        return "Device: COM1..COMn, ttyUSB0 и т.п. или полный путь к устройству";
    return "проверьте BaudRate, StopBits, Parity и FlowControl: устройство их не принимает";
}

std::string TerminalHint() {
    return "порт открыт, но терминал не готов: проверьте его питание, кабель, BaudRate и PIN; "
           "диалог с терминалом показан выше";
}

bool UserInGroup(const char* user, const char* groupName) {
    const passwd* account = getpwnam(user);
    const struct group* entry = getgrnam(groupName);
    if (account == nullptr || entry == nullptr)
        return false;
    if (account->pw_gid == entry->gr_gid)
        return true;
    for (char** member = entry->gr_mem; *member != nullptr; ++member)
        if (std::string_view(*member) == user)
            return true;
    return false;
}

} // namespace qvx
