#include "service/CommandLine.h"

#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qvx {
namespace {

std::string Joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args)
        text += "[" + arg + "] ";
    return text;
}

TEST(CommandLineTest, ParsesEveryForm) {
    const std::string cwd = std::filesystem::current_path().string();
    struct TCase {
        std::vector<std::string> Args;
        TCommandAction Action;
        std::string Dir;
        int32_t Code;
    };
    const std::vector<TCase> cases = {
        {{}, TCommandAction::Run, "", 0},
        {{"--dir", "/srv/qvx"}, TCommandAction::Run, "/srv/qvx/", 0},
        {{"--dir=/srv/qvx/"}, TCommandAction::Run, "/srv/qvx/", 0},
        {{"--dir", "/srv/a/../b"}, TCommandAction::Run, "/srv/b/", 0},
        {{"--dir", "rel"}, TCommandAction::Run, cwd + "/rel/", 0},
        {{"--dir", "/srv/qvx", "--control", "128"}, TCommandAction::Control, "/srv/qvx/", 128},
        {{"--control=255", "--dir=/q"}, TCommandAction::Control, "/q/", 255},
        {{"--control", "129"}, TCommandAction::Control, "", 129},
        {{"--dir", "/q", "--status"}, TCommandAction::Status, "/q/", 0},
        {{"--json", "--status"}, TCommandAction::Status, "", 0},
        {{"--help"}, TCommandAction::Help, "", 0},
        {{"-h"}, TCommandAction::Help, "", 0},
        {{"--dir", "/q", "--help"}, TCommandAction::Help, "", 0},
        {{"--version"}, TCommandAction::Version, "", 0},
        {{"-V"}, TCommandAction::Version, "", 0},
        // rejected
        {{"--dir"}, TCommandAction::Usage, "", 0},
        {{"--dir", ""}, TCommandAction::Usage, "", 0},
        {{"--dir="}, TCommandAction::Usage, "", 0},
        {{"--dir", "/a", "--dir", "/b"}, TCommandAction::Usage, "", 0},
        {{"--control"}, TCommandAction::Usage, "", 0},
        {{"--control", "127"}, TCommandAction::Usage, "", 0},
        {{"--control", "256"}, TCommandAction::Usage, "", 0},
        {{"--control", "0x80"}, TCommandAction::Usage, "", 0},
        {{"--control", "+128"}, TCommandAction::Usage, "", 0},
        {{"--control", "128 "}, TCommandAction::Usage, "", 0},
        {{"--control", ""}, TCommandAction::Usage, "", 0},
        {{"--control", "99999999999999999999"}, TCommandAction::Usage, "", 0},
        {{"--control", "128", "--control", "129"}, TCommandAction::Usage, "", 0},
        {{"--json"}, TCommandAction::Usage, "", 0},
        {{"--status", "--check"}, TCommandAction::Usage, "", 0},
        {{"--status", "--control", "128"}, TCommandAction::Usage, "", 0},
        {{"--control", "128", "--json"}, TCommandAction::Usage, "", 0},
        {{"--bogus"}, TCommandAction::Usage, "", 0},
        {{"--dirx", "/a"}, TCommandAction::Usage, "", 0},
        {{"stray"}, TCommandAction::Usage, "", 0},
    };
    for (const TCase& c : cases) {
        const TCommandLine parsed = ParseCommandLine(c.Args);
        EXPECT_EQ(static_cast<int>(parsed.Action), static_cast<int>(c.Action))
            << Joined(c.Args) << ": wrong action";
        if (c.Action == TCommandAction::Usage) {
            EXPECT_FALSE(parsed.Error.empty())
                << Joined(c.Args) << ": a rejected command line must say why";
            continue;
        }
        if (c.Action == TCommandAction::Run || c.Action == TCommandAction::Control ||
            c.Action == TCommandAction::Status) {
            EXPECT_EQ(parsed.Dir, c.Dir) << Joined(c.Args) << ": wrong directory";
        }
        EXPECT_EQ(parsed.ControlCode, c.Code) << Joined(c.Args) << ": wrong control code";
        EXPECT_EQ(parsed.Json, Joined(c.Args).find("[--json]") != std::string::npos)
            << Joined(c.Args) << ": --json read wrongly";
    }
}

TEST(CommandLineTest, ExecutableDirEndsInASlashAndHoldsTheTestProgram) {
    const std::string dir = ExecutableDir();
    ASSERT_FALSE(dir.empty()) << "the executable's directory must be known";
    EXPECT_EQ(dir.back(), '/') << "ExecutableDir must end with '/': " << dir;
    EXPECT_TRUE(std::filesystem::exists(dir + "service_tests"))
        << "ExecutableDir must name the directory of the running program: " << dir;
}

// Without --dir the installed program must find /var/lib/quorvexsms, while a build tree or a
// program copied next to its INI file keeps its own folder.
TEST(CommandLineTest, DefaultDirPrefersAnIniNextToTheProgram) {
    const test::TTempDir withIni;
    withIni.Write("QuorvexSMS.ini", "");
    const test::TTempDir withoutIni;
    struct TCase {
        std::string ExeDir;
        std::string Installed;
        std::string Expected;
    };
    const TCase cases[] = {
        {withIni.Path(), "/var/lib/quorvexsms", withIni.Path()},
        {withoutIni.Path(), "/var/lib/quorvexsms", "/var/lib/quorvexsms/"},
        {withoutIni.Path(), "/var/lib/quorvexsms/", "/var/lib/quorvexsms/"},
        {withoutIni.Path(), "", withoutIni.Path()},
        {"", "/var/lib/quorvexsms", "/var/lib/quorvexsms/"},
        {"", "", ""},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(DefaultDir(c.ExeDir, c.Installed), c.Expected)
            << "exe dir \"" << c.ExeDir << "\", installed dir \"" << c.Installed << "\"";
}

} // namespace
} // namespace qvx
