// The installed layout: "cmake --install" of this build with the prefix /usr into a DESTDIR,
// then the installed files as the system tools see them: systemd-analyze verifies the unit,
// systemd-sysusers reads the user entry, and the sample INI file reads as it says.
#include "infra/Config.h"
#include "infra/IniFile.h"
#include "support/TempDir.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qvx {
namespace {

using test::TTempDir;
namespace fs = std::filesystem;

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct TRun {
    int Exit = -1;      // -1: the program could not be run or did not exit normally
    std::string Output; // stdout and stderr
};

// Runs a program found on PATH with extra environment entries ("NAME=value").
TRun RunProgram(const std::vector<std::string>& args, const std::string& outFile,
                const std::vector<std::string>& extraEnv = {}) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText(extraEnv);
    for (char** entry = environ; *entry != nullptr; ++entry)
        envText.emplace_back(*entry);
    std::vector<char*> env;
    for (std::string& entry : envText)
        env.push_back(entry.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&files);
    TRun run;
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.Exit = WEXITSTATUS(status);
    run.Output = ReadWhole(outFile);
    return run;
}

// Lines of text that mention part.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (line.find(part) != std::string::npos)
            lines.push_back(line);
    return lines;
}

// One install for all tests of the suite: it copies some megabytes.
class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FWork = std::make_unique<TTempDir>();
        FRoot = FWork->File("root");
        FInstall = RunProgram({"cmake", "--install", QVX_BINARY_DIR, "--prefix", "/usr"},
                              FWork->File("install.txt"), {"DESTDIR=" + FRoot});
    }
    static void TearDownTestSuite() { FWork.reset(); }

    void SetUp() override {
        ASSERT_EQ(FInstall.Exit, 0) << "cmake --install failed:\n" << FInstall.Output;
    }

    static std::string Installed(const std::string& path) { return FRoot + "/" + path; }

    inline static std::unique_ptr<TTempDir> FWork;
    inline static std::string FRoot;
    inline static TRun FInstall;
};

TEST_F(InstallTest, HoldsEveryFileAndNothingElse) {
    struct TFile {
        const char* Path;
        const char* Source; // nullptr for a program
    };
    const TFile files[] = {
        {"usr/sbin/quorvexsms", nullptr},
        {"usr/bin/gsmsim", nullptr},
        {"usr/lib/systemd/system/quorvexsms.service", "packaging/quorvexsms.service"},
        {"usr/lib/sysusers.d/quorvexsms.conf", "packaging/sysusers.conf"},
        {"usr/share/quorvexsms/QuorvexSMS.ini.sample", "packaging/QuorvexSMS.ini"},
        {"usr/share/quorvexsms/schema.sql", "db/schema.sql"},
        {"usr/share/quorvexsms/demo-data.sql", "db/demo-data.sql"},
        // logrotate reads /etc, not /usr/etc, whatever the prefix's own etc would be.
        {"etc/logrotate.d/quorvexsms", "packaging/logrotate"},
    };
    std::set<std::string> expected;
    for (const TFile& file : files) {
        expected.insert(file.Path);
        const std::string path = Installed(file.Path);
        ASSERT_TRUE(fs::is_regular_file(path)) << file.Path << " is not installed:\n"
                                               << FInstall.Output;
        if (file.Source == nullptr)
            EXPECT_EQ(access(path.c_str(), X_OK), 0) << file.Path << " must be executable";
        else
            EXPECT_EQ(ReadWhole(path), ReadWhole(std::string(QVX_SOURCE_DIR "/") + file.Source))
                << file.Path << " must be a copy of " << file.Source;
    }
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(FRoot))
        if (!entry.is_directory())
            found.insert(fs::relative(entry.path(), FRoot).string());
    EXPECT_EQ(found, expected) << "the install holds other files than the list";

    const TRun version =
        RunProgram({Installed("usr/sbin/quorvexsms"), "--version"}, FWork->File("version.txt"));
    EXPECT_EQ(version.Exit, 0) << "the installed program must run: " << version.Output;
}

TEST_F(InstallTest, SystemdAnalyzeVerifiesTheUnit) {
    // The unit names /usr/sbin/quorvexsms, which systemd-analyze requires to exist; the copy
    // points at the installed program instead and is otherwise the installed unit.
    const std::string unit = ReadWhole(Installed("usr/lib/systemd/system/quorvexsms.service"));
    const std::string program = "ExecStart=/usr/sbin/quorvexsms ";
    const size_t at = unit.find(program);
    ASSERT_NE(at, std::string::npos) << "the unit must start /usr/sbin/quorvexsms:\n" << unit;
    std::string copy = unit;
    copy.replace(at, program.size(), "ExecStart=" + Installed("usr/sbin/quorvexsms") + " ");
    TTempDir dir;
    dir.Write("quorvexsms.service", copy);
    const TRun verify = RunProgram({"systemd-analyze", "verify", dir.File("quorvexsms.service")},
                                   dir.File("verify.txt"));
    ASSERT_NE(verify.Exit, -1) << "systemd-analyze must be installed (scripts/test installs "
                                  "the systemd package)";
    EXPECT_EQ(verify.Exit, 0) << "systemd-analyze rejects the unit:\n" << verify.Output;
    // Settings it cannot parse are only warned about ("ignoring"), with the exit code 0.
    EXPECT_EQ(LinesWith(verify.Output, "quorvexsms.service"), std::vector<std::string>{})
        << "systemd-analyze complains about the unit:\n"
        << verify.Output;

    // The verification reads the file: a misspelt setting is reported.
    dir.Write("quorvexsms.service", copy + "\n[Service]\nRestartSecs=5\n");
    const TRun broken = RunProgram({"systemd-analyze", "verify", dir.File("quorvexsms.service")},
                                   dir.File("broken.txt"));
    EXPECT_EQ(LinesWith(broken.Output, "RestartSecs").size(), 1u)
        << "systemd-analyze did not read the unit:\n"
        << broken.Output;
}

TEST_F(InstallTest, SysusersCreatesTheServiceUser) {
    TTempDir emptyRoot;
    const TRun sysusers = RunProgram({"systemd-sysusers", "--dry-run", "--root=" + emptyRoot.Path(),
                                      Installed("usr/lib/sysusers.d/quorvexsms.conf")},
                                     FWork->File("sysusers.txt"));
    ASSERT_NE(sysusers.Exit, -1) << "systemd-sysusers must be installed";
    EXPECT_EQ(sysusers.Exit, 0) << "systemd-sysusers rejects the entry:\n" << sysusers.Output;
    EXPECT_EQ(LinesWith(sysusers.Output, "Creating user 'quorvexsms'").size(), 1u)
        << "the entry must create the user quorvexsms:\n"
        << sysusers.Output;
    EXPECT_TRUE(fs::is_empty(emptyRoot.Path())) << "a dry run must write nothing";
}

// The unit, the user's home and the log rotation name the same service folder.
TEST_F(InstallTest, UnitUserAndLogRotationAgreeOnTheFolder) {
    const std::string unit = ReadWhole(Installed("usr/lib/systemd/system/quorvexsms.service"));
    const std::vector<std::string> start = LinesWith(unit, "ExecStart=");
    ASSERT_EQ(start.size(), 1u) << unit;
    const size_t option = start[0].find("--dir ");
    ASSERT_NE(option, std::string::npos) << "the unit must name its folder: " << start[0];
    const std::string dir =
        start[0].substr(option + 6, start[0].find(' ', option + 6) - option - 6);
    EXPECT_EQ(LinesWith(unit, "StateDirectory=quorvexsms").size(), 1u)
        << "systemd must create the folder";
    EXPECT_EQ(dir, "/var/lib/quorvexsms") << "the state folder of StateDirectory=quorvexsms";

    const std::string rotate = ReadWhole(Installed("etc/logrotate.d/quorvexsms"));
    for (const char* log : {"QuorvexSMS.log", "Siemens.log"})
        EXPECT_NE(rotate.find(dir + "/" + log), std::string::npos)
            << "logrotate must rotate " << dir << "/" << log << ":\n"
            << rotate;
    const std::string users = ReadWhole(Installed("usr/lib/sysusers.d/quorvexsms.conf"));
    EXPECT_NE(users.find(" " + dir + "\n"), std::string::npos)
        << "the user's home must be the folder:\n"
        << users;
}

// The sample names every key, explains each, and reads as its comments say: the required keys
// with examples, the others with their defaults.
TEST_F(InstallTest, SampleIniHasEveryKeyAndReadsAsWritten) {
    const std::string samplePath = Installed("usr/share/quorvexsms/QuorvexSMS.ini.sample");
    const std::string sample = ReadWhole(samplePath);
    const TIniFile ini(samplePath);
    const std::pair<const char*, const char*> keys[] = {
        {"Database", "Host"},
        {"Database", "Port"},
        {"Database", "DBName"},
        {"Database", "UserName"},
        {"Database", "Password"},
        {"GSMTerminal", "Device"},
        {"GSMTerminal", "BaudRate"},
        {"GSMTerminal", "StopBits"},
        {"GSMTerminal", "Parity"},
        {"GSMTerminal", "FlowControl"},
        {"GSMTerminal", "ModemTimeout"},
        {"GSMTerminal", "PIN"},
    };
    std::vector<std::string> lines;
    std::istringstream stream(sample);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    for (const auto& [section, key] : keys) {
        EXPECT_NE(ini.ReadString(section, key, "\x01"), "\x01")
            << "the sample lacks [" << section << "] " << key;
        // The key's line, or the block of key lines it belongs to, follows a comment.
        const std::string head = std::string(key) + "=";
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind(head, 0) == 0; });
        ASSERT_NE(line, lines.end()) << key << " is not written as " << head;
        while (line != lines.begin() && line[-1].find('=') != std::string::npos &&
               line[-1][0] != ';')
            --line;
        EXPECT_TRUE(line != lines.begin() && line[-1].rfind(";", 0) == 0)
            << key << " has no comment that explains it";
    }

    TTempDir dir;
    dir.Write("QuorvexSMS.ini", sample);
    TConfig config(dir.Path());
    config.Load();
    TConfig defaults(dir.File("missing/"));
    defaults.Load();
    EXPECT_EQ(config.Host, "127.0.0.1") << "Host must read as written";
    EXPECT_EQ(config.DBName, "quorvex") << "DBName must read as written";
    EXPECT_EQ(config.UserName, "quorvexsms") << "UserName must read as written";
    EXPECT_EQ(config.Device, "ttyUSB0") << "Device must read as written";
    // The optional keys are written with their defaults, so the sample changes nothing else.
    EXPECT_EQ(config.Port, defaults.Port) << "Port must be the default";
    EXPECT_EQ(config.Password, defaults.Password) << "Password must be the default";
    EXPECT_EQ(config.BaudRate, defaults.BaudRate) << "BaudRate must be the default";
    EXPECT_EQ(config.StopBits, defaults.StopBits) << "StopBits must be the default";
    EXPECT_EQ(config.Parity, defaults.Parity) << "Parity must be the default";
    EXPECT_EQ(config.RtsCts, defaults.RtsCts) << "FlowControl must be the default";
    EXPECT_EQ(config.ModemTimeout, defaults.ModemTimeout) << "ModemTimeout must be the default";
    EXPECT_EQ(config.PIN, defaults.PIN) << "PIN must be the default";
    // The sample's values are the very texts the tables know, not near misses.
    for (const auto& [key, text] : {std::pair<const char*, std::string>{"BaudRate", "115200"},
                                    {"StopBits", "1"},
                                    {"Parity", "None"},
                                    {"FlowControl", "None"}})
        EXPECT_EQ(ini.ReadString("GSMTerminal", key, ""), text)
            << key << " must be written as the default's own text";
}

} // namespace
} // namespace qvx
