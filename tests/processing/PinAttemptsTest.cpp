#include "processing/PinAttempts.h"

#include "infra/LogFile.h"
#include "processing/StateKeeper.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qvx {
namespace {

constexpr std::time_t Noon = 1796644800; // 2026-12-07T12:00:00Z
const std::string SimA = "8970199123456789012";
const std::string SimB = "8970199000000000002";

// One SIM's attempts are its own: a PIN it refused never goes again, and none goes once two
// attempts are counted on it, until the SIM takes a PIN and counts afresh.
TEST(PinAttempts, TheCountOfEachSimDecides) {
    enum class TStep { Attempt, Refused, Accepted };
    const struct {
        TStep Step;
        std::string Sim;
        std::string Pin;
        TPinWait Wait;
        int32_t Counted;
        const char* Note;
    } steps[] = {
        {TStep::Attempt, SimA, "1111", TPinWait::None, 0, "the first attempt"},
        {TStep::Attempt, SimA, "1111", TPinWait::None, 1, "unanswered, it may go once more"},
        {TStep::Attempt, SimA, "2222", TPinWait::Exhausted, 2, "two counted: nothing goes"},
        {TStep::Attempt, SimB, "1111", TPinWait::None, 0, "another SIM counts alone"},
        {TStep::Refused, SimB, "1111", TPinWait::None, 0, ""},
        {TStep::Attempt, SimB, "1111", TPinWait::Refused, 1, "a refused PIN never again"},
        {TStep::Attempt, SimB, "2222", TPinWait::None, 1, "another PIN still may"},
        {TStep::Refused, SimB, "2222", TPinWait::None, 0, ""},
        {TStep::Attempt, SimB, "1111", TPinWait::Refused, 2, "refused outranks spent"},
        {TStep::Attempt, SimB, "3333", TPinWait::Exhausted, 2, "the third is a person's"},
        {TStep::Accepted, SimB, "", TPinWait::None, 0, ""},
        {TStep::Attempt, SimB, "1111", TPinWait::None, 0, "taken: the SIM counts afresh"},
        {TStep::Attempt, "", "1111", TPinWait::None, 0, "a SIM without its ICCID"},
        {TStep::Attempt, "", "1111", TPinWait::None, 1, "is one SIM for the count"},
        {TStep::Attempt, SimA, "2222", TPinWait::Exhausted, 2, "nothing forgot SIM A"},
    };
    TPinRecords pins;
    int32_t saves = 0;
    for (const auto& s : steps) {
        if (s.Step != TStep::Attempt) {
            EXPECT_TRUE(ApplyPinVerdict(pins, s.Sim, s.Pin, s.Step == TStep::Accepted))
                << s.Sim << " " << s.Pin << ": the verdict changes its records";
            continue;
        }
        const int32_t savesBefore = saves;
        const TPinPermit permit = RecordPinAttempt(pins, s.Sim, s.Pin, Noon, [&] {
            ++saves;
            return std::string();
        });
        EXPECT_EQ(permit.Wait, s.Wait) << s.Note;
        EXPECT_EQ(permit.Counted, s.Counted) << s.Note;
        EXPECT_EQ(saves - savesBefore, s.Wait == TPinWait::None ? 1 : 0)
            << s.Note << ": an attempt that goes is saved first, no other";
    }
}

// An attempt that cannot be kept does not go: restarts would spend the SIM's tries unseen.
TEST(PinAttempts, AnAttemptThatCannotBeSavedDoesNotGo) {
    TPinRecords pins;
    const TPinPermit failed =
        RecordPinAttempt(pins, SimA, "1111", Noon, [] { return std::string("no space"); });
    EXPECT_EQ(failed.Wait, TPinWait::Unrecorded);
    EXPECT_EQ(failed.Reason, "no space");
    EXPECT_TRUE(pins.empty()) << "the attempt that did not go is not counted";

    // With the service's keeper and a real file: a folder in the file's place takes no file,
    // whoever runs the test.
    test::TTempDir dir;
    SetLogFileName(dir.File("QuorvexSMS.log"));
    TStateKeeper keeper(dir.Path());
    keeper.Load(Noon);
    ASSERT_EQ(::mkdir(dir.File("QuorvexSMS.state").c_str(), 0700), 0);
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(keeper.PinAttempt(SimA, "1111").Wait, TPinWait::Unrecorded) << attempt;
    EXPECT_EQ(keeper.KeptPins(), 0);
    size_t lines = 0;
    for (const std::string& line : LogMessages(dir.Read("QuorvexSMS.log")))
        lines += line.rfind("Попытка PIN кода не записана в файл состояния (", 0) == 0;
    EXPECT_EQ(lines, 1u) << "the retried initialisation logs it once";

    ASSERT_EQ(::rmdir(dir.File("QuorvexSMS.state").c_str()), 0);
    EXPECT_EQ(keeper.PinAttempt(SimA, "1111").Wait, TPinWait::None) << "the folder is gone";
    EXPECT_NE(dir.Read("QuorvexSMS.state").find("\npinsent " + SimA + " "), std::string::npos)
        << "on disk before it goes: " << dir.Read("QuorvexSMS.state");
    keeper.PinVerdict(SimA, "1111", false);
    EXPECT_NE(dir.Read("QuorvexSMS.state").find("\npin " + SimA + " "), std::string::npos)
        << "the refusal is kept: " << dir.Read("QuorvexSMS.state");
    SetLogFileName("");
}

} // namespace
} // namespace qvx
