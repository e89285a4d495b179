// The installed layout: "cmake --install" of this build with the prefix /usr into a DESTDIR,
// then the installed files as the system tools see them: systemd-analyze verifies the unit,
// systemd-sysusers reads the user entry, and the sample INI file reads as it says.
#include "infra/Config.h"
#include "infra/IniFile.h"
#include "service/CommandLine.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <sstream>
#include <unistd.h>

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
    TRun run;
    run.Exit = test::RunToEnd({.Args = args,
                               .Environment = test::ChildEnvironment(extraEnv),
                               .OutFile = outFile,
                               .ErrFile = outFile});
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

// The program's version with the Debian revision of its packages.
const std::string PackageVersion = std::string(ApplicationVersion) + "-1";

struct TInstalledFile {
    const char* Path;
    const char* Source; // nullptr for a program
    bool Simulator = false;
};

const TInstalledFile InstalledFiles[] = {
    {"usr/sbin/quorvexsms", nullptr},
    {"usr/bin/gsmsim", nullptr, true},
    {"usr/lib/systemd/system/quorvexsms.service", "packaging/quorvexsms.service"},
    {"usr/lib/sysusers.d/quorvexsms.conf", "packaging/sysusers.conf"},
    {"usr/lib/tmpfiles.d/quorvexsms.conf", "packaging/tmpfiles.conf"},
    {"usr/share/quorvexsms/QuorvexSMS.ini.sample", "packaging/QuorvexSMS.ini"},
    {"usr/share/quorvexsms/schema.sql", "db/schema.sql"},
    {"usr/share/quorvexsms/demo-data.sql", "db/demo-data.sql"},
    {"usr/share/man/man8/quorvexsms.8.gz", "packaging/quorvexsms.8"},
    {"usr/share/man/man1/gsmsim.1.gz", "packaging/gsmsim.1", true},
    {"usr/share/doc/quorvexsms/copyright", "packaging/debian/copyright"},
    {"usr/share/doc/quorvexsms/changelog.Debian.gz", "packaging/debian/changelog"},
    {"usr/share/lintian/overrides/quorvexsms", "packaging/debian/lintian-overrides.quorvexsms"},
    {"usr/share/doc/quorvexsms-gsmsim/copyright", "packaging/debian/copyright", true},
    {"usr/share/doc/quorvexsms-gsmsim/changelog.Debian.gz", "packaging/debian/changelog", true},
    {"usr/share/lintian/overrides/quorvexsms-gsmsim",
     "packaging/debian/lintian-overrides.quorvexsms-gsmsim", true},
    // logrotate reads /etc, not /usr/etc, whatever the prefix's own etc would be.
    {"etc/logrotate.d/quorvexsms", "packaging/logrotate"},
};

// Every file (not folder) under root, relative to it.
std::set<std::string> FilesUnder(const std::string& root) {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory())
            found.insert(fs::relative(entry.path(), root).string());
    return found;
}

// A program must be executable; any other file must hold its source, a compressed one once
// gunzip has read it. scratch receives gunzip's output.
void ExpectInstalledCopy(const std::string& root, const TInstalledFile& file,
                         const std::string& scratch) {
    const std::string path = root + "/" + file.Path;
    ASSERT_TRUE(fs::is_regular_file(path)) << file.Path << " is not installed in " << root;
    if (file.Source == nullptr) {
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << file.Path << " must be executable";
        return;
    }
    std::string content = ReadWhole(path);
    if (path.ends_with(".gz")) {
        const TRun gunzip = RunProgram({"gzip", "-d", "-c", path}, scratch);
        EXPECT_EQ(gunzip.Exit, 0) << file.Path << " must be gzip data";
        content = gunzip.Output;
    }
    EXPECT_EQ(content, ReadWhole(std::string(QVX_SOURCE_DIR "/") + file.Source))
        << file.Path << " must be a copy of " << file.Source;
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
    std::set<std::string> expected;
    for (const TInstalledFile& file : InstalledFiles) {
        expected.insert(file.Path);
        ExpectInstalledCopy(FRoot, file, FWork->File("unpacked.txt"));
    }
    EXPECT_EQ(FilesUnder(FRoot), expected) << "the install holds other files than the list";

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
    // --man=no: the page Documentation= names is installed in the tree, not on this machine.
    const TRun verify =
        RunProgram({"systemd-analyze", "verify", "--man=no", dir.File("quorvexsms.service")},
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
    const TRun broken =
        RunProgram({"systemd-analyze", "verify", "--man=no", dir.File("quorvexsms.service")},
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
    // The folder belongs to the service user: logrotate works in it as that user.
    EXPECT_EQ(LinesWith(rotate, "su quorvexsms quorvexsms").size(), 1u) << rotate;
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
    EXPECT_EQ(config.ModemTimeoutMs, defaults.ModemTimeoutMs) << "ModemTimeout must be the default";
    EXPECT_EQ(config.PIN, defaults.PIN) << "PIN must be the default";
    // The sample's values are the very texts the tables know, not near misses.
    for (const auto& [key, text] : {std::pair<const char*, std::string>{"BaudRate", "115200"},
                                    {"StopBits", "1"},
                                    {"Parity", "None"},
                                    {"FlowControl", "None"}})
        EXPECT_EQ(ini.ReadString("GSMTerminal", key, ""), text)
            << key << " must be written as the default's own text";
}

// The manual page names every option of the usage text, every signal the service handles and
// every key of the sample INI file, each key in an entry of its own under its section, and
// groff reads it and the simulator's page without a warning.
TEST(ManualPageTest, CoversOptionsSignalsAndKeys) {
    const std::string manualPath = QVX_SOURCE_DIR "/packaging/quorvexsms.8";
    const std::string manual = ReadWhole(manualPath);
    std::set<std::string> names = {"SIGPWR"};
    const std::string usage = UsageText();
    const std::pair<std::string, std::string> kinds[] = {
        {"--", "-abcdefghijklmnopqrstuvwxyz"}, {"SIG", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"}};
    for (const auto& [head, nameChars] : kinds)
        for (size_t at = usage.find(head); at != std::string::npos; at = usage.find(head, at)) {
            const size_t end = std::min(usage.find_first_not_of(nameChars, at), usage.size());
            names.insert(usage.substr(at, end - at));
            at = end;
        }
    ASSERT_GE(names.size(), 8u) << "the usage text names fewer options than expected:\n" << usage;
    for (std::string name : names) {
        // troff writes a minus sign as "\-".
        for (size_t at = name.find('-'); at != std::string::npos; at = name.find('-', at + 2))
            name.replace(at, 1, "\\-");
        EXPECT_NE(manual.find(name), std::string::npos) << "the manual lacks " << name;
    }

    std::istringstream sample(ReadWhole(QVX_SOURCE_DIR "/packaging/QuorvexSMS.ini"));
    std::string section;
    size_t keys = 0;
    for (std::string line; std::getline(sample, line);) {
        if (line.starts_with("[")) {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const size_t equals = line.find('=');
        if (line.empty() || !isalpha(static_cast<unsigned char>(line[0])) ||
            equals == std::string::npos)
            continue;
        ++keys;
        const std::string key = line.substr(0, equals);
        const size_t sectionAt = manual.find(".SS \"[" + section + "]\"");
        ASSERT_NE(sectionAt, std::string::npos) << "the manual lacks the section " << section;
        const size_t keyAt = manual.find(".TP\n.B " + key + "\n", sectionAt);
        const size_t nextSection = manual.find(".S", sectionAt + 1);
        EXPECT_LT(keyAt, nextSection) << "the manual lacks [" << section << "] " << key;
    }
    EXPECT_GE(keys, 12u) << "the sample INI file was not read";

    TTempDir dir;
    for (const std::string& page :
         {manualPath, std::string(QVX_SOURCE_DIR "/packaging/gsmsim.1")}) {
        const TRun groff =
            RunProgram({"groff", "-man", "-Tutf8", "-ww", "-z", page}, dir.File("groff.txt"));
        ASSERT_NE(groff.Exit, -1) << "groff must be installed (package groff-base)";
        EXPECT_EQ(groff.Exit, 0) << page << ":\n" << groff.Output;
        EXPECT_EQ(groff.Output, "") << "groff warns about " << page;
    }
}

// The packages "cpack -G DEB" makes of this build, made once for the suite.
class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FWork = std::make_unique<TTempDir>();
        FCpack = RunProgram({"cpack", "-G", "DEB", "--config", QVX_BINARY_DIR "/CPackConfig.cmake",
                             "-B", FWork->File("deb")},
                            FWork->File("cpack.txt"));
        FArch = RunProgram({"dpkg", "--print-architecture"}, FWork->File("arch.txt")).Output;
        if (!FArch.empty() && FArch.back() == '\n')
            FArch.pop_back();
    }
    static void TearDownTestSuite() { FWork.reset(); }

    void SetUp() override {
        ASSERT_EQ(FCpack.Exit, 0) << "cpack -G DEB failed (it needs dpkg-dev):\n" << FCpack.Output;
    }

    static std::string Deb(const std::string& package) {
        return FWork->File("deb/" + package + "_" + PackageVersion + "_" + FArch + ".deb");
    }
    static std::string Field(const std::string& deb, const char* name) {
        std::string value =
            RunProgram({"dpkg-deb", "-f", deb, name}, FWork->File("field.txt")).Output;
        if (!value.empty() && value.back() == '\n')
            value.pop_back();
        return value;
    }

    inline static std::unique_ptr<TTempDir> FWork;
    inline static TRun FCpack;
    inline static std::string FArch;
};

TEST_F(PackageTest, ControlFieldsAndContents) {
    struct TPackage {
        const char* Name;
        bool Simulator;                   // holds the simulator, not the service
        std::vector<std::string> Depends; // computed from the shared libraries
        std::vector<std::string> NotDepends;
    };
    const TPackage packages[] = {
        {"quorvexsms", false, {"libc6 (>=", "libpq5 (>=", "libsystemd0 (>=", "systemd"}, {}},
        {"quorvexsms-gsmsim", true, {"libc6 (>="}, {"libpq5", "libsystemd0", "quorvexsms"}},
    };
    for (const TPackage& package : packages) {
        SCOPED_TRACE(package.Name);
        const std::string deb = Deb(package.Name);
        ASSERT_TRUE(fs::is_regular_file(deb)) << deb << " is not made:\n" << FCpack.Output;
        EXPECT_EQ(Field(deb, "Package"), package.Name);
        EXPECT_EQ(Field(deb, "Version"), PackageVersion) << "the program's own version";
        EXPECT_EQ(Field(deb, "Recommends"), package.Simulator ? "" : "logrotate");
        EXPECT_EQ(Field(deb, "Architecture"), FArch);
        EXPECT_NE(Field(deb, "Maintainer"), "");
        EXPECT_NE(Field(deb, "Description"), "");
        const std::string depends = Field(deb, "Depends");
        for (const std::string& name : package.Depends)
            EXPECT_NE(depends.find(name), std::string::npos) << "Depends lacks " << name;
        for (const std::string& name : package.NotDepends)
            EXPECT_EQ(depends.find(name), std::string::npos) << "Depends names " << name;

        const std::string tree = FWork->File(std::string("tree-") + package.Name);
        const TRun extract = RunProgram({"dpkg-deb", "-x", deb, tree}, FWork->File("x.txt"));
        ASSERT_EQ(extract.Exit, 0) << extract.Output;
        std::set<std::string> expected;
        for (const TInstalledFile& file : InstalledFiles)
            if (file.Simulator == package.Simulator) {
                expected.insert(file.Path);
                ExpectInstalledCopy(tree, file, FWork->File("unpacked.txt"));
            }
        const std::set<std::string> found = FilesUnder(tree);
        EXPECT_EQ(found, expected) << "the package holds other files than the list";

        // Every file in /etc is a conffile, so that an upgrade keeps the operator's changes.
        std::string etc;
        for (const std::string& path : found)
            if (path.starts_with("etc/"))
                etc += "/" + path + "\n";
        const TRun conffiles =
            RunProgram({"dpkg-deb", "-I", deb, "conffiles"}, FWork->File("conffiles.txt"));
        EXPECT_EQ(conffiles.Exit == 0 ? conffiles.Output : "", etc) << "conffiles";
    }
}

// The end-to-end proof: dpkg installs the package into an empty root, its scripts make the user,
// the folder and a first INI file there, the program runs, an upgrade keeps the INI file and a
// purge leaves nothing behind. fakeroot keeps the owners, so that no real root is needed.
TEST_F(PackageTest, InstallsIntoAnEmptyRootAndPurgesClean) {
    const std::string root = FWork->File("root");
    fs::create_directories(root + "/var/lib/dpkg/info");
    fs::create_directories(root + "/var/lib/dpkg/updates");
    std::ofstream(root + "/var/lib/dpkg/status").close();
    const std::string state = FWork->File("fakeroot.state");
    std::ofstream(state).close();
    auto dpkg = [&](const std::string& action, const std::string& what) {
        return RunProgram({"fakeroot", "-i", state, "-s", state, "dpkg", "--root=" + root,
                           "--force-script-chrootless", "--force-depends", "--force-not-root",
                           "--log=/dev/null", action, what},
                          FWork->File("dpkg.txt"));
    };
    const TRun install = dpkg("--install", Deb("quorvexsms"));
    ASSERT_EQ(install.Exit, 0) << "dpkg --install failed (it needs fakeroot):\n" << install.Output;

    const std::vector<std::string> user =
        LinesWith(ReadWhole(root + "/etc/passwd"), "quorvexsms:x:");
    ASSERT_EQ(user.size(), 1u) << "the package must make the user quorvexsms";
    // quorvexsms:x:UID:GID:...
    const size_t uidAt = user[0].find(":x:") + 3;
    const size_t gidAt = user[0].find(':', uidAt) + 1;
    const std::string uid = user[0].substr(uidAt, gidAt - 1 - uidAt);
    const std::string gid = user[0].substr(gidAt, user[0].find(':', gidAt) - gidAt);
    const std::string folder = root + "/var/lib/quorvexsms";
    const std::string ini = folder + "/QuorvexSMS.ini";
    const TRun owners = RunProgram({"fakeroot", "-i", state, "stat", "-c", "%u %g %a", folder, ini},
                                   FWork->File("stat.txt"));
    EXPECT_EQ(owners.Output, uid + " " + gid + " 750\n0 " + gid + " 640\n")
        << "the folder belongs to the service, the INI file is root's and readable by the service";
    EXPECT_EQ(ReadWhole(ini), ReadWhole(QVX_SOURCE_DIR "/packaging/QuorvexSMS.ini"))
        << "the first INI file is the sample";

    const TRun help =
        RunProgram({root + "/usr/sbin/quorvexsms", "--help"}, FWork->File("help.txt"));
    EXPECT_EQ(help.Exit, 0) << help.Output;
    EXPECT_NE(help.Output.find("--check"), std::string::npos) << help.Output;

    std::ofstream(ini, std::ios::app) << "; filled in\n";
    const TRun upgrade = dpkg("--install", Deb("quorvexsms"));
    ASSERT_EQ(upgrade.Exit, 0) << upgrade.Output;
    EXPECT_NE(ReadWhole(ini).find("; filled in"), std::string::npos)
        << "an upgrade must keep the operator's INI file";

    const TRun purge = dpkg("--purge", "quorvexsms");
    ASSERT_EQ(purge.Exit, 0) << purge.Output;
    for (const std::string& path : FilesUnder(root)) {
        if (!path.starts_with("var/lib/dpkg/")) {
            EXPECT_EQ(path.find("quorvexsms"), std::string::npos) << path << " is left";
        }
    }
}

} // namespace
} // namespace qvx
