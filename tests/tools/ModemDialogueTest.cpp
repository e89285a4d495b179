// The terminal's AT logic fed directly, without a pty: error modes, refused and cut-off
// submissions, overlong input and the fault switches.
#include "gsmsim/ModemDialogue.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

constexpr const char* HelloPdu = "0011000591214"
                                 "3F50000C405E8329BFD06";

// All bytes the dialogue sends for the input, echo and answers alike.
std::string Feed(TModemDialogue& dialogue, std::string_view input) {
    TModemOutputs outputs;
    dialogue.Feed(input, outputs);
    std::string bytes;
    for (const TModemOutput& output : outputs)
        bytes += output.Bytes;
    return bytes;
}

// A dialogue past the driver's first two commands: verbose errors, no echo.
TModemDialogue Ready() {
    TModemDialogue dialogue;
    Feed(dialogue, "at+cmee=2\ratq0v1e0\r");
    return dialogue;
}

TEST(ModemDialogueTest, ErrorModeShapesErrorReports) {
    struct TCase {
        const char* Mode;
        const char* Answer;
    };
    const TCase cases[] = {
        {"at+cmee=0\r", "\r\nERROR\r\n"},
        {"at+cmee=1\r", "\r\n+CME ERROR: 14\r\n"},
        {"at+cmee=2\r", "\r\n+CME ERROR: SIM busy\r\n"},
    };
    for (const TCase& c : cases) {
        TModemDialogue dialogue;
        dialogue.FSettings.SimBusyCount = 1;
        Feed(dialogue, std::string("ate0\r") + c.Mode);
        EXPECT_EQ(Feed(dialogue, "at+csca?\r"), c.Answer) << c.Mode;
    }
}

// In text mode the PDU is taken for a text to the number its length spells, and "sent".
TEST(ModemDialogueTest, TextModeTakesAPduForText) {
    TModemDialogue dialogue = Ready();
    dialogue.SetTextMode(true);
    EXPECT_EQ(Feed(dialogue, "at+cmgs=14\r" + std::string(HelloPdu) + "\x1A"),
              "\r\n> \r\n+CMGS: 0\r\n\r\nOK\r\n");
    ASSERT_EQ(dialogue.Submitted().size(), 1u);
    EXPECT_NE(dialogue.Submitted()[0].View.Error, "") << "a text-mode submission is no PDU";
}

TEST(ModemDialogueTest, EchoesEveryByteUntilEchoOff) {
    TModemDialogue dialogue;
    EXPECT_EQ(Feed(dialogue, "at\r"), "at\r\r\nOK\r\n");
    EXPECT_EQ(Feed(dialogue, "at+cpim\bn?\r"), "at+cpim\bn?\r\r\n+CPIN: READY\r\n\r\nOK\r\n")
        << "a backspace edits the line and is echoed like any byte";
    EXPECT_EQ(Feed(dialogue, "ATE0\r"), "ATE0\r\r\nOK\r\n") << "upper case works too";
    EXPECT_EQ(Feed(dialogue, "at\r"), "\r\nOK\r\n");
    EXPECT_EQ(Feed(dialogue, "hello\r\n"), "") << "a line that is not a command is ignored";
    EXPECT_EQ(Feed(dialogue, "\x1A\r"), "") << "nor is a stray Ctrl-Z";
    EXPECT_EQ(Feed(dialogue, "atz\r"), "\r\nOK\r\n");
    EXPECT_EQ(Feed(dialogue, "at\r"), "at\r\r\nOK\r\n") << "a reset turns echo back on";
}

TEST(ModemDialogueTest, AnswersSubmissionsAsConfigured) {
    struct TCase {
        TSubmitReply Reply;
        int32_t Length;
        const char* Pdu;
        std::string Answer;
        bool Recorded;
        bool Accepted;
        const char* Note;
    };
    const TCase cases[] = {
        {TSubmitReply::Ok, 16, HelloPdu, "\r\n> \r\n+CMGS: 0\r\n\r\nOK\r\n", true, true, "ok"},
        {TSubmitReply::CmsError, 16, HelloPdu, "\r\n> \r\n+CMS ERROR: 500\r\n", true, false,
         "the network refuses"},
        {TSubmitReply::NoPrompt, 16, "", "", false, false, "no prompt, nothing taken"},
        {TSubmitReply::NoFinalAnswer, 16, HelloPdu, "\r\n> ", true, true,
         "taken but never acknowledged"},
        {TSubmitReply::Ok, 17, HelloPdu, "\r\n> \r\n+CMS ERROR: 304\r\n", true, false,
         "length one more than the TPDU"},
        {TSubmitReply::Ok, 16, "00110005912143F50000C405E8329B", "\r\n> \r\n+CMS ERROR: 304\r\n",
         true, false, "user data cut short"},
    };
    for (const TCase& c : cases) {
        TModemDialogue dialogue = Ready();
        dialogue.FSettings.SubmitReply = c.Reply;
        std::string input = "at+cmgs=" + std::to_string(c.Length) + "\r";
        if (c.Reply != TSubmitReply::NoPrompt)
            input += std::string(c.Pdu) + "\x1A";
        EXPECT_EQ(Feed(dialogue, input), c.Answer) << c.Note;
        ASSERT_EQ(dialogue.Submitted().size(), c.Recorded ? 1u : 0u) << c.Note;
        if (c.Recorded) {
            EXPECT_EQ(dialogue.Submitted()[0].Accepted, c.Accepted) << c.Note;
        }
        EXPECT_EQ(Feed(dialogue, "at\r"), "\r\nOK\r\n") << c.Note << ": back in command mode";
    }
}

TEST(ModemDialogueTest, ReportsRegistrationAndSignalAsSet) {
    struct TCase {
        int32_t Registration;
        int32_t Rssi;
        const char* Command;
        const char* Answer;
    };
    const TCase cases[] = {
        {1, 20, "at+creg?\r", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
        {5, 20, "AT+CREG?\r", "\r\n+CREG: 0,5\r\n\r\nOK\r\n"},
        {-1, 20, "at+creg?\r", "\r\n+CME ERROR: no network service\r\n"},
        {1, 31, "at+csq\r", "\r\n+CSQ: 31,99\r\n\r\nOK\r\n"},
        {1, 99, "at+csq\r", "\r\n+CSQ: 99,99\r\n\r\nOK\r\n"},
        {1, -1, "at+csq\r", "\r\n+CME ERROR: no network service\r\n"},
    };
    for (const TCase& c : cases) {
        TModemDialogue dialogue = Ready();
        dialogue.FSettings.Registration = c.Registration;
        dialogue.FSettings.SignalRssi = c.Rssi;
        EXPECT_EQ(Feed(dialogue, c.Command), c.Answer)
            << c.Command << " with registration " << c.Registration << ", rssi " << c.Rssi;
    }
}

TEST(ModemDialogueTest, AnswersTheImsiOfAnUnlockedSim) {
    struct TCase {
        std::string Pin;
        std::string Imsi;
        const char* Answer;
        const char* Note;
    };
    const TCase cases[] = {
        {"", "250990000000001", "\r\n250990000000001\r\n\r\nOK\r\n", "the default SIM"},
        {"", "", "\r\nERROR\r\n", "a SIM that does not tell"},
        {"1234", "250990000000001", "\r\n+CME ERROR: SIM PIN required\r\n", "a locked SIM"},
    };
    for (const TCase& c : cases) {
        TModemDialogue dialogue = Ready();
        dialogue.FSettings.Pin = c.Pin;
        dialogue.FSettings.Imsi = c.Imsi;
        EXPECT_EQ(Feed(dialogue, "at+cimi\r"), c.Answer) << c.Note;
    }
}

TEST(ModemDialogueTest, AFaultReplyLastsForItsCount) {
    TModemDialogue dialogue = Ready();
    dialogue.FSettings.SubmitReply = TSubmitReply::CmsError;
    dialogue.FSettings.SubmitReplyCount = 1;
    dialogue.FSettings.CmsError = 42;
    std::string submit = "at+cmgs=16\r" + std::string(HelloPdu) + "\x1A";
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMS ERROR: 42\r\n");
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMGS: 0\r\n\r\nOK\r\n")
        << "the second submission is acknowledged again";
}

// A PIN whose answer is lost still counts with the SIM: at+cpin? tells what became of it.
TEST(ModemDialogueTest, ALostPinAnswerIsJudgedAllTheSame) {
    const struct {
        const char* Pin;
        const char* State;
        int32_t AttemptsLeft;
    } cases[] = {
        {"1234", "\r\n+CPIN: READY\r\n\r\nOK\r\n", 3},
        {"9999", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", 2},
    };
    for (const auto& c : cases) {
        TModemDialogue dialogue = Ready();
        dialogue.FSettings.Pin = "1234";
        dialogue.FSettings.PinAnswersLost = 1;
        const std::string entry = std::string("at+cpin=") + c.Pin + "\r";
        EXPECT_EQ(Feed(dialogue, entry), "") << c.Pin << ": no answer";
        EXPECT_EQ(Feed(dialogue, "at+cpin?\r"), c.State) << c.Pin;
        EXPECT_EQ(dialogue.PinAttemptsLeft(), c.AttemptsLeft) << c.Pin;
        EXPECT_NE(Feed(dialogue, entry), "") << c.Pin << ": the next PIN is answered";
    }
}

TEST(ModemDialogueTest, ARefusedNumberLeavesTheFaultRepliesAlone) {
    TModemDialogue dialogue = Ready();
    dialogue.FSettings.RefusedNumbers["12345"] = 21;
    dialogue.FSettings.SubmitReply = TSubmitReply::CmsError;
    dialogue.FSettings.SubmitReplyCount = 1;
    dialogue.FSettings.CmsError = 42;
    std::string submit = "at+cmgs=16\r" + std::string(HelloPdu) + "\x1A";
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMS ERROR: 21\r\n");
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMS ERROR: 21\r\n") << "refused every time";
    dialogue.FSettings.RefusedNumbers.clear();
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMS ERROR: 42\r\n")
        << "the refusals must not use up the fault reply's count";
    EXPECT_EQ(Feed(dialogue, submit), "\r\n> \r\n+CMGS: 0\r\n\r\nOK\r\n");
}

TEST(ModemDialogueTest, EscapeDropsThePdu) {
    TModemDialogue dialogue = Ready();
    EXPECT_EQ(Feed(dialogue, "at+cmgs=16\r0011\x1B"), "\r\n> \r\nOK\r\n");
    EXPECT_TRUE(dialogue.Submitted().empty());
}

TEST(ModemDialogueTest, RefusesOverlongInputWithoutKeepingIt) {
    TModemDialogue dialogue = Ready();
    EXPECT_EQ(Feed(dialogue, "at" + std::string(5000, 'x') + "\r"), "\r\nERROR\r\n");
    EXPECT_LE(dialogue.CommandLog().back().size(), TModemDialogue::LineMax);
    EXPECT_EQ(Feed(dialogue, "at+cmgs=16\r" + std::string(5000, '0') + "\x1A"),
              "\r\n> \r\n+CMS ERROR: 304\r\n");
    ASSERT_EQ(dialogue.Submitted().size(), 1u);
    EXPECT_LE(dialogue.Submitted()[0].Pdu.size(), TModemDialogue::PduMax);
    EXPECT_FALSE(dialogue.Submitted()[0].Accepted);
    EXPECT_EQ(Feed(dialogue, std::string("\0\xFF\x01", 3) + "at\r"), "\r\nOK\r\n")
        << "garbage in front of a command";
}

TEST(ModemDialogueTest, HungTerminalRecordsButNeverAnswers) {
    TModemDialogue dialogue = Ready();
    dialogue.FSettings.Hung = true;
    EXPECT_EQ(Feed(dialogue, "at+cmgl=4\rat+cmgs=16\r" + std::string(HelloPdu) + "\x1A"), "");
    EXPECT_EQ(dialogue.CommandCount("at+cmgl"), 1);
    EXPECT_TRUE(dialogue.Submitted().empty());
}

TEST(ModemDialogueTest, DeletionFaultsAndBadIndexes) {
    TModemDialogue dialogue = Ready();
    dialogue.FSettings.Capacity = 10;
    ASSERT_EQ(dialogue.StoreText("+12345", "one").size(), 1u);
    ASSERT_EQ(dialogue.StoreText("+12345", "two").size(), 1u);
    struct TCase {
        bool Fails;
        const char* Command;
        const char* Answer;
        size_t Left;
    };
    const TCase cases[] = {
        {true, "at+cmgd=1\r", "\r\nERROR\r\n", 2},
        {false, "at+cmgd=11\r", "\r\n+CMS ERROR: 321\r\n", 2},
        {false, "at+cmgd=x\r", "\r\nERROR\r\n", 2},
        {false, "at+cmgd=5\r", "\r\nOK\r\n", 2},
        {false, "at+cmgd=1\r", "\r\nOK\r\n", 1},
        {false, "at+cmgd=1,4\r", "\r\nOK\r\n", 0},
    };
    for (const TCase& c : cases) {
        dialogue.FSettings.DeleteFails = c.Fails;
        EXPECT_EQ(Feed(dialogue, c.Command), c.Answer) << c.Command;
        EXPECT_EQ(dialogue.Stored().size(), c.Left) << c.Command;
    }
    EXPECT_EQ(dialogue.DeletedIndexes(), (std::vector<int32_t>{1, 11, 5, 1, 1}));
}

TEST(ModemDialogueTest, PadsTheListingToTheAskedSize) {
    TModemDialogue dialogue = Ready();
    dialogue.FSettings.ListingPadBytes = 20000;
    std::string answer = Feed(dialogue, "at+cmgl=4\r");
    EXPECT_GE(answer.size(), 20000u);
    EXPECT_EQ(answer.substr(answer.size() - 8), "\r\n\r\nOK\r\n");
    EXPECT_EQ(answer.find("OK"), answer.size() - 4) << "no OK before the end";
}

TEST(ModemDialogueTest, StoreFillsTheLowestFreeIndexes) {
    TModemDialogue dialogue;
    dialogue.FSettings.Capacity = 3;
    EXPECT_EQ(dialogue.StoreText("+1", "a"), std::vector<int32_t>{1});
    EXPECT_EQ(dialogue.StorePdu("00040591214"
                                "3f500004210123100000005e8329bfd06"),
              2)
        << "raw hex of either case";
    EXPECT_EQ(dialogue.Stored().at(2).Length, 21);
    EXPECT_EQ(dialogue.StoreText("+1", std::string(200, 'a')), std::vector<int32_t>{})
        << "two parts do not fit the one free slot";
    EXPECT_EQ(dialogue.StorePdu("zz"), -1);
    Feed(dialogue, "at+cmgd=1\r");
    EXPECT_EQ(dialogue.StoreText("+1", "b"), std::vector<int32_t>{1});
}

} // namespace
} // namespace qvx
