#include "service/LogTail.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qvx {
namespace {

TEST(LogTailTest, FindsTheLastLineThatReportsAnError) {
    struct TCase {
        std::string Content;
        bool TailOnly;
        std::string Line;
        const char* Note;
    };
    const TCase cases[] = {
        {"1.1.2026 1:00:00  Ошибка: нет связи\r\n1.1.2026 1:00:01  Служба готова\r\n", false,
         "1.1.2026 1:00:00  Ошибка: нет связи", "an older error before a plain line"},
        {"a  Ошибка: первая\r\nb  Ошибка отправки SMS: вторая\r\n", false,
         "b  Ошибка отправки SMS: вторая", "the newest of two"},
        {"a  Сообщение ID=7: ОШИБКА ОТПРАВКИ\r\n", false, "a  Сообщение ID=7: ОШИБКА ОТПРАВКИ",
         "upper case"},
        {"a  При запуске службы произошла ошибка: x\n", false,
         "a  При запуске службы произошла ошибка: x", "lower case, LF alone"},
        {"a  Принято SMS. Номер: '1', текст: 'ошибка'\r\n", false, "",
         "a subscriber's quoted text is no error"},
        {"a  SMS тел=\"1\" текст=\"Ошибка\" отправлена\r\n", false, "", "a sent text is no error"},
        {"a  Ошибка: one\r\nb  fine", false, "a  Ошибка: one", "a last line without line end"},
        {"ка: cut\r\nb  fine\r\n", true, "", "the fragment at the start of a tail"},
        {"a  Ошибка: cut\r\n", true, "", "a tail that is a fragment alone"},
        {"a  Ошибка: kept\r\nb  fine\r\n", false, "a  Ошибка: kept", "a whole file"},
        {"", false, "", "an empty log"},
        {"\r\n\r\n", false, "", "blank lines"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(LastErrorLine(c.Content, c.TailOnly), c.Line) << c.Note;
}

TEST(LogTailTest, ReadsOnlyRegularFiles) {
    test::TTempDir dir;
    dir.Write("big.log",
              "x  Ошибка: early\r\n" + std::string(LogTailBytes, 'y') + "\r\nz  Ошибка: late\r\n");
    EXPECT_EQ(LastErrorLineOf(dir.File("big.log")), "z  Ошибка: late");
    EXPECT_EQ(LastErrorLineOf(dir.File("missing.log")), "");
    // A FIFO in the log's place must not hold the command.
    ASSERT_EQ(mkfifo(dir.File("fifo.log").c_str(), 0600), 0);
    EXPECT_EQ(LastErrorLineOf(dir.File("fifo.log")), "");
}

} // namespace
} // namespace qvx
