#include "service/FolderOwner.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qvx {

namespace {

std::string SystemText(int error) {
    return std::strerror(error);
}

// The owner's account entry; false when the uid names no user.
bool FindUser(uid_t uid, passwd& entry, std::vector<char>& buffer) {
    passwd* found = nullptr;
    buffer.resize(16384);
    return getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

} // namespace

bool BecomeFolderOwner(const std::string& dir, std::string& error) {
    if (geteuid() != 0)
        return true;
    struct stat folder {};
    if (stat(dir.c_str(), &folder) != 0) {
        error = "каталог " + dir + " недоступен: " + SystemText(errno);
        return false;
    }
    if (folder.st_uid == 0)
        return true;
    passwd user{};
    std::vector<char> buffer;
    if (!FindUser(folder.st_uid, user, buffer)) {
        error = "владелец каталога " + dir + " (uid " + std::to_string(folder.st_uid) +
                ") не найден среди пользователей системы; root не работает с чужими файлами, "
                "запустите команду от имени владельца";
        return false;
    }
    // Groups first: once the user is set, the groups can no longer be changed.
    if (initgroups(user.pw_name, user.pw_gid) != 0 || setgid(user.pw_gid) != 0 ||
        setuid(user.pw_uid) != 0) {
        error = "не удалось перейти к пользователю " + std::string(user.pw_name) +
                ", владельцу каталога " + dir + ": " + SystemText(errno);
        return false;
    }
    return true;
}

} // namespace qvx
