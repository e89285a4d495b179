#include "processing/StateFile.h"

#include "support/TempDir.h"

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qvx {
namespace {

constexpr std::time_t Noon = 1796644800; // 2026-12-07T12:00:00Z

// The temporary files of saves in dir, by name.
std::vector<std::string> TemporaryFiles(const test::TTempDir& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.Path().c_str());
    while (const dirent* entry = listing ? readdir(listing) : nullptr)
        if (std::string(entry->d_name).rfind("QuorvexSMS.state.new", 0) == 0)
            names.push_back(entry->d_name);
    if (listing)
        closedir(listing);
    return names;
}

TServiceState FullState() {
    TServiceState state;
    state.Unstamped = {{17, Noon}, {-5, Noon + 1}};
    state.GivenUp = {{23, Noon - 3600}};
    const std::string hash = PinAttemptHash("A1B2", "8970101234567890123F", "1234");
    state.PinAttempts = {{"8970101234567890123F", "A1B2", hash, Noon, true},
                         {"0", "C3D4", PinAttemptHash("C3D4", "0", "1234"), Noon, false}};
    state.Undeletable = {{"8970101234567890123F", 3, "07919761980614F8040B91", Noon},
                         {"terminal:2", 3, "07919761980614F8040B92", Noon - 1}};
    state.NextConcatRef = 200;
    state.SimCounts = {{"250011234567890", {Noon - 3600, 42}}, {"terminal:gsm-2_B", {Noon, 3}}};
    state.Hosts = {{"quorvexsms@sms-2.example", Noon}};
    return state;
}

TEST(ServiceState, TextFormReadsBack) {
    const std::string text = FormatState(FullState(), Noon);
    EXPECT_NE(text.find("unstamped 17 2026-12-07T12:00:00Z\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("1234\n"), std::string::npos) << "no PIN in clear text";
    EXPECT_NE(text.find("sim 250011234567890 42 2026-12-07T11:00:00Z\n"), std::string::npos);
    TServiceState back;
    const TStateReading reading = ParseState(text, back);
    EXPECT_EQ(reading.DroppedCount, 0u) << text;
    EXPECT_EQ(back, FullState());
}

std::vector<int32_t> LinesOf(const TStateReading& reading) {
    std::vector<int32_t> lines;
    for (const TDroppedLine& dropped : reading.Dropped)
        lines.push_back(dropped.Line);
    return lines;
}

// A bad line costs its own record: the good line behind it is read in every versioned case.
TEST(ServiceState, EachLineIsJudgedAlone) {
    const std::string good = "unstamped 7 2026-12-07T12:00:00Z\n";
    const std::string v1 = "version 1\n";
    const std::string v2 = "version 2\n";
    const struct {
        std::string Text;
        int32_t Version;
        std::vector<int32_t> Dropped;
        size_t NewerSkipped;
        const char* Note;
    } cases[] = {
        {"# written by hand\n\n  \r\nversion 1\r\n" + good, 1, {}, 0, "comments, blanks, CR LF"},
        {v1 + "unstamped 2147483648 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "id outside int32"},
        {v1 + "givenup 5 2026-12-07 12:00:00\n" + good, 1, {2}, 0, "time not in its form"},
        {v1 + "unstamped 5\n" + good, 1, {2}, 0, "record without its time"},
        {v1 + "concatref 256 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "reference past an octet"},
        {v1 + "pin 89 A1 SHORT 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "hash of wrong length"},
        {v1 + "undeletable 3 XYZ 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "PDU not hex"},
        {v1 + "sim 2500112345678901 5 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "IMSI of 16"},
        {v1 + "sim terminal:a/b 5 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "name with a slash"},
        {v1 + "sim 25001 -1 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "negative count"},
        {v1 + "host quorvexsms@a/b 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "host with a slash"},
        {v1 + "\x01\xFF\xC0garbage\n" + good + "unstamped\n", 1, {2, 4}, 0, "garbled lines"},
        {v1 + "something 1 2026-12-07T12:00:00Z\n" + good, 1, {2}, 0, "unknown kind in v1"},
        {v2 + "something 1 2026-12-07T12:00:00Z\n" + good, 2, {2}, 0, "unknown kind in v2"},
        {v1 + "entry terminal:2 3 0791 2026-12-07T12:00:00Z\n" + good,
         1,
         {2},
         0,
         "a kind of version 2 in a version 1 file"},
        {v2 + "entry terminal:0 3 0791 2026-12-07T12:00:00Z\n" + good, 2, {2}, 0, "terminal 0"},
        {v2 + "entry 8970G 3 0791 2026-12-07T12:00:00Z\n" + good, 2, {2}, 0, "ICCID not hex"},
        {v2 + "entry 3 0791 2026-12-07T12:00:00Z\n" + good, 2, {2}, 0, "entry without its SIM"},
        {v1 + "pinsent 89 A1 " + std::string(64, 'A') + " 2026-12-07T12:00:00Z\n" + good,
         1,
         {2},
         0,
         "a PIN without a verdict in a version 1 file"},
        {v1 + v1 + good, 1, {2}, 0, "a second version line"},
        {"version 99\nsomething 1 2026-12-07T12:00:00Z\nother\n" + good + "unstamped x\n",
         99,
         {5},
         2,
         "newer file: unknown kinds passed over, a damaged known one dropped"},
        {"", 0, {}, 0, "empty file"},
        {good + v1, 0, {}, 0, "a record before the version line"},
        {"version 0\n" + good, 0, {}, 0, "no version of this program's"},
        {"version one\n" + good, 0, {}, 0, "version not a number"},
    };
    for (const auto& c : cases) {
        TServiceState state = FullState();
        const TStateReading reading = ParseState(c.Text, state);
        EXPECT_EQ(reading.Version, c.Version) << c.Note;
        EXPECT_EQ(LinesOf(reading), c.Dropped) << c.Note;
        EXPECT_EQ(reading.DroppedCount, c.Dropped.size()) << c.Note;
        EXPECT_EQ(reading.NewerSkipped, c.NewerSkipped) << c.Note;
        const std::map<int32_t, std::time_t> kept = c.Version
                                                        ? std::map<int32_t, std::time_t>{{7, Noon}}
                                                        : std::map<int32_t, std::time_t>{};
        EXPECT_EQ(state.Unstamped, kept) << c.Note;
        EXPECT_TRUE(state.GivenUp.empty() && state.PinAttempts.empty()) << c.Note;
        for (const TDroppedLine& dropped : reading.Dropped)
            EXPECT_FALSE(dropped.Why.empty()) << c.Note << ": every dropped line says why";
    }

    // A file of the first version still loads whole; its entries were terminal 1's.
    const std::string first =
        v1 + "pin 8970101234567890123F A1B2 " +
        PinAttemptHash("A1B2", "8970101234567890123F", "1234") +
        " 2026-12-07T12:00:00Z\nundeletable 3 07919761980614F8040B91 2026-12-07T12:00:00Z\n"
        "sim 250011234567890 42 2026-12-07T11:00:00Z\nhost quorvexsms@sms-2.example "
        "2026-12-07T12:00:00Z\n" +
        good;
    TServiceState old;
    EXPECT_EQ(ParseState(first, old).DroppedCount, 0u);
    EXPECT_EQ(old.Undeletable, (std::vector<TServiceState::TUndeletable>{
                                   {"terminal:1", 3, "07919761980614F8040B91", Noon}}));
    EXPECT_EQ(old.PinAttempts, std::vector{FullState().PinAttempts.front()})
        << "a PIN the first version kept is never sent again";
    EXPECT_EQ(old.SimCounts.size(), 1u);
    EXPECT_EQ(old.Hosts, FullState().Hosts);

    std::string many = v1;
    for (int i = 0; i < 30; ++i)
        many += "unstamped x\n";
    TServiceState scratch;
    const TStateReading reading = ParseState(many, scratch);
    EXPECT_EQ(reading.Dropped.size(), TStateReading::DroppedShownMax) << "the list is bounded";
    EXPECT_EQ(reading.DroppedCount, 30u) << "and still counts them all";
}

TEST(ServiceState, TrimDropsTheOldestOfEachKind) {
    TServiceState state;
    for (int32_t id = 0; id < int32_t(TServiceState::MessagesMax) + 3; ++id)
        state.Unstamped[id] = Noon - id; // the highest ids are the oldest
    state.PinAttempts.assign(TServiceState::PinsMax + 1, {"89", "A1", std::string(64, 'A'), Noon});
    state.PinAttempts.front().At = Noon - 1;
    for (int32_t sim = 0; sim <= int32_t(TServiceState::SimsMax); ++sim)
        state.SimCounts[std::to_string(25001000 + sim)] = {Noon + sim, 1};
    EXPECT_EQ(state.Trim(), 5u);
    EXPECT_EQ(state.SimCounts.count("25001000"), 0u) << "the SIM of the oldest period went";
    EXPECT_EQ(state.Unstamped.size(), TServiceState::MessagesMax);
    EXPECT_EQ(state.Unstamped.count(int32_t(TServiceState::MessagesMax) + 2), 0u);
    EXPECT_EQ(state.Unstamped.count(0), 1u) << "the newest stays";
    EXPECT_EQ(state.PinAttempts.front().At, Noon) << "the oldest PIN went";
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

    // A bad line costs its record, and the file stays where it is.
    dir.Write(TStateFile::FileName, "version 1\nunstamped x\nunstamped 4 2026-12-07T12:00:00Z\n");
    loaded = file.Load(Noon);
    EXPECT_EQ(loaded.State.Unstamped, (std::map<int32_t, std::time_t>{{4, Noon}}));
    EXPECT_EQ(LinesOf(loaded.Reading), std::vector<int32_t>{2});
    EXPECT_EQ(loaded.Fault, "");
    EXPECT_EQ(loaded.MovedTo, "");
    EXPECT_EQ(file.Peek().value_or(FullState()).Unstamped, loaded.State.Unstamped)
        << "a command beside the service reads it the same way";

    // A file without a version line is no file of this program's: it goes aside whole.
    dir.Write(TStateFile::FileName, "unstamped 4 2026-12-07T12:00:00Z\n");
    EXPECT_EQ(file.Peek(), std::nullopt);
    loaded = file.Load(Noon);
    EXPECT_TRUE(loaded.State.Empty());
    EXPECT_NE(loaded.Fault, "");
    EXPECT_EQ(loaded.MovedTo, dir.File("QuorvexSMS.state.bad-20261207T120000Z"));
    EXPECT_EQ(dir.Read("QuorvexSMS.state.bad-20261207T120000Z"),
              "unstamped 4 2026-12-07T12:00:00Z\n");

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
    EXPECT_EQ(TemporaryFiles(dir), std::vector<std::string>{})
        << "a start removes what killed saves left";
}

// The service and `--check` may save at the same time: neither writes into the other's
// temporary file, and the start removes only files no living writer is busy with.
TEST(StateFile, EachWriterKeepsToItsOwnTemporaryFile) {
    test::TTempDir dir;
    const pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string living = "QuorvexSMS.state.new." + std::to_string(getppid()) + ".1";
    const std::string dead = "QuorvexSMS.state.new." + std::to_string(gone) + ".1";
    const std::string olderName = "QuorvexSMS.state.new";
    for (const std::string& name : {living, dead, olderName})
        dir.Write(name, "half a save");
    const timespec old[2] = {{0, UTIME_OMIT},
                             {std::time(nullptr) - TStateFile::LeftoverSec - 5, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.File(olderName).c_str(), old, 0), 0);

    TServiceState first = FullState();
    TServiceState second;
    second.Unstamped = {{1, Noon}};
    std::atomic<int> failures{0};
    const auto saver = [&](const TServiceState& state) {
        const TStateFile file(dir.Path());
        for (int i = 0; i < 300; ++i)
            failures += !file.Save(state, Noon).empty();
    };
    std::thread one(saver, std::cref(first));
    std::thread other(saver, std::cref(second));
    one.join();
    other.join();
    EXPECT_EQ(failures.load(), 0) << "no save broke into another's";
    const TStateFile::TLoaded loaded = TStateFile(dir.Path()).Load(Noon);
    EXPECT_TRUE(loaded.State == first || loaded.State == second);
    EXPECT_EQ(TemporaryFiles(dir), std::vector<std::string>{living})
        << "only the file of a writer that runs stays";
    EXPECT_EQ(dir.Read(living), "half a save");
}

} // namespace
} // namespace qvx
