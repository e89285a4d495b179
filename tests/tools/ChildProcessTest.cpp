// The child processes of the tests and benchmarks: exit codes as the callers read them, the
// standard streams in files, and the environment handed down.
#include "support/ChildProcess.h"

#include "support/TempDir.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::TChildSetup;

TEST(ChildProcess, ExitCodesAndStreams) {
    test::TTempDir dir;
    const auto sh = [&](const std::string& script) {
        return TChildSetup{
            .Args = {"sh", "-c", script}, .OutFile = dir.File("out"), .ErrFile = dir.File("err")};
    };
    EXPECT_EQ(test::RunToEnd(sh("echo out; echo err >&2; exit 3")), 3) << "a plain exit code";
    EXPECT_EQ(dir.Read("out"), "out\n") << "stdout goes to its file";
    EXPECT_EQ(dir.Read("err"), "err\n") << "stderr goes to its own file";
    EXPECT_EQ(test::RunToEnd(sh("exit 200")), 200) << "a high exit code is no signal";
    EXPECT_EQ(test::RunToEnd(sh("kill -TERM $$")), -1) << "killed: no exit code";
    EXPECT_EQ(test::RunToEnd({.Args = {dir.File("missing")}}), -1) << "cannot start";

    TChildSetup shared = sh("echo one; echo two >&2");
    shared.ErrFile = shared.OutFile;
    ASSERT_EQ(test::RunToEnd(shared), 0);
    EXPECT_EQ(dir.Read("out"), "one\ntwo\n") << "one file for both streams";

    test::TChildProcess sleeper(sh("exec sleep 30"));
    ASSERT_TRUE(sleeper.Started());
    EXPECT_EQ(sleeper.WaitExit(0), std::nullopt) << "still running";
    EXPECT_NE(sleeper.Start(sh("true")), 0) << "a second child while the first runs";
    EXPECT_TRUE(sleeper.Signal(SIGTERM)) << "the signal mask is cleared for the child";
    EXPECT_EQ(sleeper.WaitExit(5000), 128 + SIGTERM) << "128 + the signal";
    EXPECT_FALSE(sleeper.Signal(SIGTERM)) << "nothing left to signal";
}

TEST(ChildProcess, EnvironmentChanges) {
    ASSERT_EQ(setenv("QVX_CHILD_A", "1", 1), 0);
    ASSERT_EQ(setenv("QVX_CHILD_B", "2", 1), 0);
    const std::vector<std::string> env =
        test::ChildEnvironment({"QVX_CHILD_A=x", "QVX_CHILD_B", "QVX_CHILD_C=3", "QVX_CHILD"});
    const auto count = [&](const std::string& entry) {
        return std::count(env.begin(), env.end(), entry);
    };
    EXPECT_EQ(count("QVX_CHILD_A=x"), 1) << "a set variable replaces the old value";
    EXPECT_EQ(count("QVX_CHILD_A=1"), 0) << "the old value is gone";
    EXPECT_EQ(count("QVX_CHILD_B=2"), 0) << "a bare name removes the variable";
    EXPECT_EQ(count("QVX_CHILD_C=3"), 1) << "a new variable is added";
    EXPECT_GT(env.size(), 2u) << "the rest of the environment stays";
    EXPECT_EQ(test::ChildEnvironment({}).size(), test::ChildEnvironment({"QVX_CHILD"}).size())
        << "removing a name that is only a prefix of others removes nothing";
    unsetenv("QVX_CHILD_A");
    unsetenv("QVX_CHILD_B");
}

} // namespace
} // namespace qvx
