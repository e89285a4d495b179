#include "processing/StateFile.h"

#include "support/TempDir.h"

#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvx {
namespace {

constexpr std::time_t Noon = 1796644800; // 2026-12-07T12:00:00Z

TServiceState FullState() {
    TServiceState state;
    state.Unstamped = {{17, Noon}, {-5, Noon + 1}};
    state.GivenUp = {{23, Noon - 3600}};
    const std::string hash = RefusedPinHash("A1B2", "8970101234567890123F", "1234");
    state.RefusedPins = {{"8970101234567890123F", "A1B2", hash, Noon}};
    state.Undeletable = {{3, "07919761980614F8040B91", Noon}};
    state.NextConcatRef = 200;
    state.SimCounts = {{"250011234567890", {Noon - 3600, 42}}, {"terminal:gsm-2_B", {Noon, 3}}};
    state.Hosts = {{"quorvexsms@sms-2.example", Noon}};
    return state;
}

TEST(ServiceState, TextFormReadsBackAndFaultsAreFound) {
    const std::string text = FormatState(FullState(), Noon);
    EXPECT_NE(text.find("unstamped 17 2026-12-07T12:00:00Z\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("1234\n"), std::string::npos) << "no PIN in clear text";
    EXPECT_NE(text.find("sim 250011234567890 42 2026-12-07T11:00:00Z\n"), std::string::npos);
    TServiceState back;
    std::string error;
    ASSERT_TRUE(ParseState(text, back, error)) << error;
    EXPECT_EQ(back, FullState());

    const struct {
        const char* Text;
        const char* Note;
    } faults[] = {
        {"", "no version line"},
        {"version 2\n", "another program's version"},
        {"unstamped 1 2026-12-07T12:00:00Z\n", "record before the version"},
        {"version 1\nunstamped 2147483648 2026-12-07T12:00:00Z\n", "id outside int32"},
        {"version 1\ngivenup 5 2026-12-07 12:00:00\n", "time not in the written form"},
        {"version 1\nunstamped 5\n", "record without its time"},
        {"version 1\nconcatref 256 2026-12-07T12:00:00Z\n", "reference past one octet"},
        {"version 1\npin 89 A1 SHORT 2026-12-07T12:00:00Z\n", "hash of the wrong length"},
        {"version 1\nundeletable 3 XYZ 2026-12-07T12:00:00Z\n", "PDU that is not hex"},
        {"version 1\nsomething 1 2026-12-07T12:00:00Z\n", "unknown kind"},
        {"version 1\nsim 2500112345678901 5 2026-12-07T12:00:00Z\n", "IMSI of 16 digits"},
        {"version 1\nsim 25001A 5 2026-12-07T12:00:00Z\n", "IMSI with a letter"},
        {"version 1\nsim terminal:a/b 5 2026-12-07T12:00:00Z\n", "name with a slash"},
        {"version 1\nsim terminal: 5 2026-12-07T12:00:00Z\n", "terminal without a name"},
        {"version 1\nsim 25001 -1 2026-12-07T12:00:00Z\n", "negative count"},
        {"version 1\nhost quorvexsms@a/b 2026-12-07T12:00:00Z\n", "host with a slash"},
    };
    for (const auto& f : faults) {
        TServiceState state = FullState();
        EXPECT_FALSE(ParseState(f.Text, state, error)) << f.Note;
        EXPECT_TRUE(state.Empty()) << f.Note << ": nothing of a damaged file is kept";
    }
}

TEST(ServiceState, TrimDropsTheOldestOfEachKind) {
    TServiceState state;
    for (int32_t id = 0; id < int32_t(TServiceState::MessagesMax) + 3; ++id)
        state.Unstamped[id] = Noon - id; // the highest ids are the oldest
    state.RefusedPins.assign(TServiceState::PinsMax + 1, {"89", "A1", std::string(64, 'A'), Noon});
    state.RefusedPins.front().At = Noon - 1;
    for (int32_t sim = 0; sim <= int32_t(TServiceState::SimsMax); ++sim)
        state.SimCounts[std::to_string(25001000 + sim)] = {Noon + sim, 1};
    EXPECT_EQ(state.Trim(), 5u);
    EXPECT_EQ(state.SimCounts.count("25001000"), 0u) << "the SIM of the oldest period went";
    EXPECT_EQ(state.Unstamped.size(), TServiceState::MessagesMax);
    EXPECT_EQ(state.Unstamped.count(int32_t(TServiceState::MessagesMax) + 2), 0u);
    EXPECT_EQ(state.Unstamped.count(0), 1u) << "the newest stays";
    EXPECT_EQ(state.RefusedPins.front().At, Noon) << "the oldest PIN went";
}

TEST(StateFile, MissingDamagedAndLinkedFiles) {
    test::TTempDir dir;
    TStateFile file(dir.Path());
    TStateFile::TLoaded loaded = file.Load(Noon);
    EXPECT_TRUE(loaded.State.Empty() && loaded.Fault.empty()) << "a missing file is no fault";

    ASSERT_EQ(file.Save(FullState(), Noon), "");
    struct stat st {};
    ASSERT_EQ(stat(file.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(file.Load(Noon).State, FullState());

    dir.Write(TStateFile::FileName, "version 1\nunstamped x\n");
    loaded = file.Load(Noon);
    EXPECT_TRUE(loaded.State.Empty());
    EXPECT_NE(loaded.Fault, "");
    EXPECT_EQ(loaded.MovedTo, dir.File("QuorvexSMS.state.bad-20261207T120000Z"));
    EXPECT_EQ(dir.Read("QuorvexSMS.state.bad-20261207T120000Z"), "version 1\nunstamped x\n");

    // A link planted in the file's place is neither read nor written through.
    dir.Write("target", "version 1\n");
    ASSERT_EQ(symlink(dir.File("target").c_str(), file.Path().c_str()), 0);
    EXPECT_NE(file.Load(Noon + 1).MovedTo, "") << "the link is moved aside";
    ASSERT_EQ(symlink(dir.File("target").c_str(), file.Path().c_str()), 0);
    EXPECT_EQ(file.Save(FullState(), Noon), "") << "the rename replaces the link itself";
    EXPECT_EQ(dir.Read("target"), "version 1\n") << "the link's target is untouched";
}

// A kill at any moment of a save leaves the old state or the new one, never a mix.
TEST(StateFile, AKillDuringASaveLeavesOneWholeState) {
    test::TTempDir dir;
    TStateFile file(dir.Path());
    TServiceState small;
    small.Unstamped = {{1, Noon}};
    TServiceState large = FullState();
    for (int32_t id = 0; id < 3000; ++id)
        large.GivenUp[id] = Noon;
    ASSERT_EQ(file.Save(small, Noon), "");
    for (int round = 0; round < 40; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i)
                (void)file.Save(i % 2 ? small : large, Noon);
        }
        usleep(useconds_t(1000 + 997 * round % 9000));
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        const TStateFile::TLoaded loaded = file.Load(Noon);
        ASSERT_EQ(loaded.Fault, "") << "round " << round;
        EXPECT_TRUE(loaded.State == small || loaded.State == large) << "round " << round;
    }
}

} // namespace
} // namespace qvx
