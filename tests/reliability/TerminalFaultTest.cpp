// A terminal that misbehaves for a while in the middle of the work: it sends garbage, NUL
// bytes, an overlong reply, an answer that never ends, or nothing at all. The program must
// live through it and deliver every message once the terminal behaves again.
#include "reliability/ReliabilityHarness.h"

#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace qvx::test {
namespace {

struct TFaultCase {
    const char* Name;
    // Called every 50 ms while the fault lasts (first = true the first time), then End.
    std::function<void(TGsmSimulator&, std::mt19937&, bool first)> Step;
    std::function<void(TGsmSimulator&)> End;
    int32_t HoldMs;
};

// Random bytes that never spell a result code, a prompt or a ring ("OK", "ERROR", "> ",
// "RING"): a terminal that invents answers to commands it never got is not a fault the
// driver can tell from the truth.
std::string Garbage(std::mt19937& random, size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes;
    while (bytes.size() < size) {
        const char c = static_cast<char>(byte(random));
        if (c != 'K' && c != 'R' && c != '>')
            bytes += c;
    }
    return bytes;
}

const TFaultCase FaultCases[] = {
    {"Garbage",
     [](TGsmSimulator& sim, std::mt19937& random, bool) { sim.InjectBytes(Garbage(random, 700)); },
     [](TGsmSimulator&) {}, 2000},
    {"NulBytes",
     [](TGsmSimulator& sim, std::mt19937&, bool) {
         using namespace std::string_literals;
         sim.InjectBytes(std::string(300, '\0') + "\r\n\0\0+CMTI: \0\"SM\",\0\r\n"s +
                         std::string(50, '\0'));
     },
     [](TGsmSimulator&) {}, 2000},
    {"ReplyOf20000Bytes",
     [](TGsmSimulator& sim, std::mt19937&, bool first) {
         if (first)
             sim.SetListingPadBytes(20000);
     },
     [](TGsmSimulator& sim) { sim.SetListingPadBytes(0); }, 3000},
    {"LineOf20000BytesUnasked",
     [](TGsmSimulator& sim, std::mt19937&, bool first) {
         if (first)
             sim.InjectBytes(std::string(20000, 'x'));
     },
     [](TGsmSimulator&) {}, 1000},
    {"AnswerThatNeverEnds",
     [](TGsmSimulator& sim, std::mt19937&, bool first) {
         if (first)
             sim.SetEndless(true);
     },
     [](TGsmSimulator& sim) { sim.SetEndless(false); }, 4000},
    {"Silence",
     [](TGsmSimulator& sim, std::mt19937&, bool first) {
         if (first)
             sim.SetSilent(true);
     },
     [](TGsmSimulator& sim) { sim.SetSilent(false); }, 4000},
    // The network refuses every submission with "no network service": no message is charged
    // with it, so every one is stamped soon after, with no reload.
    {"NetworkOutage",
     [](TGsmSimulator& sim, std::mt19937&, bool first) {
         if (first)
             sim.SetSubmitReply(TSubmitReply::CmsError, 0, 331);
     },
     [](TGsmSimulator& sim) { sim.SetSubmitReply(TSubmitReply::Ok); }, 10000},
};

class TerminalFaultTest : public TReliabilityTest,
                          public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(TerminalFaultTest, TheProgramLivesThroughItAndDeliversAfterwards) {
    const TFaultCase& fault = GetParam();
    const uint32_t seed = CaseSeed();
    std::mt19937 random(seed);
    const int32_t messageCount = Scaled(60, 15);

    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, messageCount, "F");
    const std::set<std::string> texts = TextsOf(seeded);
    WriteIni();
    auto service = StartReady();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitUntil([&] { return FLedger.DistinctOf(texts) >= texts.size() / 4; }, 60000))
        << "the first messages never arrived" << Diagnostics();

    const size_t before = FLedger.DistinctOf(texts);
    const size_t reinitsBefore = TerminalLogCountPrefix(ReinitLine);
    const auto faultStart = std::chrono::steady_clock::now();
    for (bool first = true;
         std::chrono::steady_clock::now() - faultStart < std::chrono::milliseconds(fault.HoldMs);
         first = false) {
        fault.Step(FSim, random, first);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A pass while the terminal is still confused.
    service->Signal(SIGUSR1);
    const size_t during = FLedger.DistinctOf(texts) - before;
    fault.End(FSim);
    const auto faultEnd = std::chrono::steady_clock::now();

    const bool all =
        WaitUntil([&] { return FLedger.DistinctOf(texts) == texts.size(); }, 90000, 20);
    const double recoverySeconds = SecondsSince(faultEnd);
    EXPECT_TRUE(all) << fault.Name << ": only " << FLedger.DistinctOf(texts) << " of "
                     << texts.size() << " messages arrived after the fault" << Diagnostics();
    EXPECT_TRUE(service->Running()) << fault.Name << ": the program died" << Diagnostics();
    const std::vector<std::string> wrong = FLedger.RepeatsWithoutCut(FSim, faultStart, faultEnd);
    EXPECT_TRUE(wrong.empty()) << fault.Name << ": " << wrong.size()
                               << " messages went out again after an acknowledgement";
    // A message whose answer the fault swallowed waits for a late one (TSiemens::LateAnswerMs)
    // before it goes once more and is stamped.
    EXPECT_TRUE(WaitAllStamped(150000))
        << fault.Name << ": " << UnsentCount() << " rows left unsent";
    EXPECT_EQ(StampedUnacknowledged(seeded).size(), 0u)
        << fault.Name << ": stamped but never acknowledged";
    const double stopSeconds = StopService(*service);

    std::ostringstream figures;
    figures << "terminal fault " << fault.Name << " (seed " << seed << "): " << fault.HoldMs
            << " ms, " << during << " messages delivered during it, "
            << TerminalLogCountPrefix(ReinitLine) - reinitsBefore << " re-initialisations, "
            << FLedger.Repeats() << " repeats, all " << texts.size() << " delivered "
            << recoverySeconds << " s after it ended, stop in " << stopSeconds << " s";
    PrintFigures(figures.str());
}

INSTANTIATE_TEST_SUITE_P(Faults, TerminalFaultTest, ::testing::ValuesIn(FaultCases),
                         [](const auto& param) { return std::string(param.param.Name); });

class TerminalLeftInPduEntryTest : public TReliabilityTest {};

// An earlier run stopped between the prompt and the PDU (or its port dropped the PDU when it
// closed): the terminal still waits for PDU text when the program starts again.
TEST_F(TerminalLeftInPduEntryTest, TheNextStartBringsTheTerminalBack) {
    UseSharedServer();
    ASSERT_FALSE(HasFatalFailure());
    const TSeeded seeded = SeedMessages(1, 5, "P");
    const std::set<std::string> texts = TextsOf(seeded);
    {
        const int port = open(FSim.LinkPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(port, 0) << "cannot open the simulator's port";
        const std::string command = "at+cmgs=20\r0011000B91";
        EXPECT_EQ(write(port, command.data(), command.size()),
                  static_cast<ssize_t>(command.size()));
        EXPECT_TRUE(WaitUntil([&] { return FSim.CommandCount("at+cmgs") == 1; }, 5000))
            << "the simulator never took the at+cmgs";
        close(port);
    }
    WriteIni();
    auto service = StartService();
    EXPECT_TRUE(WaitUntil([&] { return FLedger.DistinctOf(texts) == texts.size(); }, 30000))
        << "the terminal left waiting for a PDU never came back" << Diagnostics();
    StopService(*service);
}

} // namespace
} // namespace qvx::test
