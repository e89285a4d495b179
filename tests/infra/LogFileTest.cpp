#include "infra/LogFile.h"

#include "support/TempDir.h"
#include "support/Text.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace qvx {
namespace {

using test::HexOf;
using test::TTempDir;

// Sets TZ for one test and restores the previous value.
class TZoneGuard {
public:
    explicit TZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            FOld = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZoneGuard() {
        if (FOld.empty())
            unsetenv("TZ");
        else
            setenv("TZ", FOld.c_str(), 1);
        tzset();
    }

private:
    std::string FOld;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of a "dd.MM.yyyy H:mm:ss  " stamp at the start of line, or 0 when there is none.
// (Checked by hand: std::regex trips a false warning of g++ 12 in the sanitizer builds.)
size_t StampLength(std::string_view line) {
    const size_t hourDigits = line.size() > 12 && IsDigit(line[12]) ? 2 : 1;
    const std::string pattern = "dd.dd.dddd " + std::string(hourDigits, 'd') + ":dd:dd  ";
    if (line.size() < pattern.size())
        return 0;
    for (size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] == 'd' ? !IsDigit(line[i]) : pattern[i] != line[i])
            return 0;
    return pattern.size();
}

// Lines of a log file without their CR LF; a last line without CR LF is kept as is.
std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The message of one log line after its stamp; a marked failure when the stamp is wrong.
std::string MessageOf(const std::string& line) {
    const size_t length = StampLength(line);
    if (length == 0) {
        ADD_FAILURE() << "line without a stamp: " << line;
        return {};
    }
    return line.substr(length);
}

TEST(LogFileTest, StampIsShortDateAndLongTimeInLocalTime) {
    const TZoneGuard zone("MSK-3");
    struct TCase {
        std::time_t Time;
        const char* Stamp;
        const char* Note;
    };
    const TCase cases[] = {
        {1796537107, "06.12.2026 9:05:07  ", "hour without a leading zero"},
        {1769893199, "31.01.2026 23:59:59  ", "two-digit hour, local date differs from UTC"},
        {1798750800, "01.01.2027 0:00:00  ", "midnight, new year in local time only"},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(LogStamp(c.Time), c.Stamp) << c.Note;
        EXPECT_EQ(StampLength(c.Stamp), std::string_view(c.Stamp).size()) << "checker: " << c.Note;
    }
}

TEST(LogFileTest, FormatMessageFollowsPrintfAndCutsAt999) {
    EXPECT_EQ(FormatMessage("%s %d %u %lu %02X %c", "a", -5, 7u, 8ul, 10, 'z'), "a -5 7 8 0A z")
        << "conversions the service uses";
    const std::string long1500(1500, 'x');
    EXPECT_EQ(FormatMessage("%s", long1500.c_str()), std::string(999, 'x'))
        << "a long message is cut to 999 bytes";
    EXPECT_EQ(FormatMessage("%s", std::string(999, 'y').c_str()).size(), 999u)
        << "999 bytes fit whole";
    EXPECT_EQ(FormatMessage("%s", ""), "");
}

TEST(LogFileTest, ControlBytesAreWrittenAsTextAndPrintableBytesStay) {
    const struct {
        std::string In, Out;
        const char* Note;
    } cases[] = {
        {"OK\r\n", "OK<cr><lf>", "CR and LF keep their names"},
        {"\n\r\ra", "<lf><cr><cr>a", "one event stays one line"},
        {"\x1b[2J\x1b]0;x\x07", "<1B>[2J<1B>]0;x<07>", "ESC and BEL cannot drive a terminal"},
        {std::string("a\0b", 3), "a<00>b", "NUL"},
        {"\x1f\x7f\x20~", "<1F><7F> ~", "the edges of the controls"},
        {"\x98", "<98>", "the byte a cp1251 converter stops at"},
        {"\x80\x97\x99\x9b\xc0\xff", "\x80\x97\x99\x9b\xc0\xff",
         "0x80..0x9F are letters and signs in cp1251"},
        {"plain", "plain", "printable text unchanged"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EscapeControls(c.In), c.Out) << c.Note;
}

TEST(LogFileTest, FirstLineCreatesTheFileAndLaterLinesAppend) {
    const TTempDir dir;
    const std::string name = dir.File("Siemens.log");
    AppendLogLine(name, "first");
    struct stat info {};
    ASSERT_EQ(stat(name.c_str(), &info), 0) << "the first line must create the log";
    EXPECT_EQ(info.st_mode & 0137, 0u) << "mode must be at most 0640: logs hold numbers and texts";

    AppendLogLine(name, "second");
    const std::vector<std::string> lines = SplitLines(dir.Read("Siemens.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(MessageOf(lines[0]), "first");
    EXPECT_EQ(MessageOf(lines[1]), "second");
    EXPECT_EQ(dir.Read("Siemens.log").substr(dir.Read("Siemens.log").size() - 2), "\r\n")
        << "every line ends with CR LF";
}

TEST(LogFileTest, ExistingFileIsNeverTruncated) {
    const TTempDir dir;
    dir.Write("old.log", "kept line\r\n");
    AppendLogLine(dir.File("old.log"), "new");
    const std::string content = dir.Read("old.log");
    ASSERT_EQ(content.rfind("kept line\r\n", 0), 0u) << "old content lost: " << content;
    EXPECT_EQ(MessageOf(content.substr(11, content.size() - 13)), "new");
}

TEST(LogFileTest, WriteLogWritesCp1251AndEscapesLineBreaks) {
    const TTempDir dir;
    SetLogFileName(dir.File("QuorvexSMS.log"));
    WriteLog("Служба %s", "OK\r\n");
    WriteLog("%s", "");
    WriteLog("%s", std::string(1500, 'x').c_str());
    const std::vector<std::string> lines = SplitLines(dir.Read("QuorvexSMS.log"));
    SetLogFileName("");
    ASSERT_EQ(lines.size(), 3u) << "each WriteLog is exactly one line";
    EXPECT_EQ(HexOf(MessageOf(lines[0])), HexOf("\xD1\xEB\xF3\xE6\xE1\xE0 OK<cr><lf>"))
        << "Russian text must reach the disk as Windows-1251";
    EXPECT_EQ(MessageOf(lines[1]), "") << "an empty message leaves the stamp only";
    EXPECT_EQ(MessageOf(lines[2]), std::string(999, 'x')) << "message cut to 999 bytes";
}

// Whatever stands in the log's place, the writer loses the line and goes on at once.
TEST(LogFileTest, OnlyARegularFileTakesTheLine) {
    const TTempDir dir;
    dir.Write("target", "secret\n");
    ASSERT_EQ(symlink(dir.File("target").c_str(), dir.File("link.log").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.File("lonely.log").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.File("read.log").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.File("folder.log").c_str(), 0700), 0);
    const int reader = open(dir.File("read.log").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const char* name :
         {"missing/dir.log", "link.log", "lonely.log", "read.log", "folder.log"}) {
        // A FIFO without a reader would block a plain open for good.
        AppendLogLine(dir.File(name), "lost");
    }
    struct stat info {};
    EXPECT_NE(stat(dir.File("missing/dir.log").c_str(), &info), 0) << "nothing may be created";
    EXPECT_EQ(dir.Read("target"), "secret\n") << "a link must not be followed";
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "a FIFO must get nothing, even with a reader";
    close(reader);
}

TEST(LogFileTest, CaptureTakesTheLinesOfItsNameInsteadOfAFile) {
    const TTempDir dir;
    const std::string name = dir.File("captured.log");
    {
        TLogCapture capture(name);
        AppendLogLine(name, "one");
        AppendLogLine(dir.File("other.log"), "elsewhere");
        AppendLogLine(name, "two");
        EXPECT_EQ(capture.Take(), (std::vector<std::string>{"one", "two"}));
        EXPECT_TRUE(capture.Take().empty()) << "taken lines are gone";
        for (size_t i = 0; i <= TLogCapture::CaptureMax; ++i)
            AppendLogLine(name, "many");
        EXPECT_EQ(capture.Take().size(), TLogCapture::CaptureMax) << "the capture is bounded";
    }
    struct stat info {};
    EXPECT_NE(stat(name.c_str(), &info), 0) << "captured lines must not reach a file";
    EXPECT_EQ(SplitLines(dir.Read("other.log")).size(), 1u) << "other logs are written as ever";
    AppendLogLine(name, "after");
    EXPECT_EQ(SplitLines(dir.Read("captured.log")).size(), 1u) << "the capture ended";
}

TEST(LogFileTest, TFileKeepsErrnoAndRefusesMisuse) {
    const TTempDir dir;
    TFile file;
    EXPECT_FALSE(file.Write("x", 1)) << "write with no file open";
    EXPECT_TRUE(file.FError);
    EXPECT_FALSE(file.Close()) << "close with no file open";
    EXPECT_FALSE(file.Open(dir.File("no/such"), O_WRONLY));
    EXPECT_EQ(file.FLastError, uint32_t(ENOENT));
    EXPECT_FALSE(file.IsOpen());

    ASSERT_TRUE(file.Open(dir.File("f"), O_RDWR | O_CREAT));
    EXPECT_FALSE(file.Open(dir.File("g"), O_RDWR | O_CREAT)) << "second open must fail";
    EXPECT_TRUE(file.WriteLine("abc"));
    EXPECT_EQ(file.FWritten, 2u) << "the last write is CR LF";
    EXPECT_TRUE(file.Seek(0, SEEK_SET));
    EXPECT_TRUE(file.Write("X", 1));
    EXPECT_FALSE(file.Write(nullptr, 1)) << "null buffer";
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(dir.Read("f"), "Xbc\r\n");
}

TEST(LogFileTest, TwoThreadsWriteWholeLinesInOrder) {
    constexpr int LinesPerThread = 10000;
    const TTempDir dir;
    const std::string name = dir.File("busy.log");
    auto writer = [&name](char tag) {
        for (int i = 0; i < LinesPerThread; ++i)
            AppendLogLine(name, FormatMessage("%c %05d %s", tag, i, "payload-payload-payload"));
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();

    const std::vector<std::string> lines = SplitLines(dir.Read("busy.log"));
    ASSERT_EQ(lines.size(), size_t(2 * LinesPerThread));
    int next[2] = {0, 0};
    for (const std::string& line : lines) {
        const std::string text = MessageOf(line);
        // "A 00042 payload-payload-payload"
        ASSERT_EQ(text.size(), 31u) << "broken line: " << line;
        ASSERT_TRUE((text[0] == 'A' || text[0] == 'B') &&
                    text.substr(7) == " payload-payload-payload")
            << "broken line: " << line;
        const int source = text[0] == 'A' ? 0 : 1;
        ASSERT_EQ(std::stoi(text.substr(2, 5)), next[source]) << "line out of order: " << line;
        ++next[source];
    }
    EXPECT_EQ(next[0], LinesPerThread);
    EXPECT_EQ(next[1], LinesPerThread);
}

} // namespace
} // namespace qvx
