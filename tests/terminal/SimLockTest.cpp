// The SIM's numbers as terminals answer at+ccid and at+cimi.
#include "terminal/SimLock.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

TEST(SimLock, IccidOfFindsTheNumberOrNothing) {
    const struct {
        const char* Answer;
        const char* Iccid;
        const char* Note;
    } cases[] = {
        {"\r\n+CCID: 8970199123456789012\r\n", "8970199123456789012", "with its prefix"},
        {"\r\n+CCID: \"89701991234567890123\"\r\n", "89701991234567890123", "quoted"},
        {"\r\n8970199123456789012\r\n", "8970199123456789012", "the bare number"},
        {"\r\n^SCID: 897019912345678901f\r\n", "897019912345678901F", "padded with F"},
        {"\r\n+CCID: 12345\r\n", "", "too short for a SIM"},
        {"\r\n+CCID: 12345678901234567890123\r\n", "", "too long for a SIM"},
        {"\r\nOK\r\n", "", "a terminal that does not tell"},
        {"", "", "no answer"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IccidOf(c.Answer), c.Iccid) << c.Note;
}

TEST(SimLock, ImsiOfTakesOnlyANumberOfAnImsisLength) {
    const struct {
        const char* Answer;
        const char* Imsi;
        const char* Note;
    } cases[] = {
        {"\r\n250990000000001\r\n\r\nOK\r\n", "250990000000001", "the bare number"},
        {"\r\n+CIMI: \"250990000000001\"\r\n\r\nOK\r\n", "250990000000001", "with its head"},
        {"\r\n250991\r\n\r\nOK\r\n", "250991", "six digits, the shortest"},
        {"\r\n25099\r\n\r\nOK\r\n", "", "five digits"},
        {"\r\n2509900000000012\r\n\r\nOK\r\n", "", "sixteen digits"},
        {"\r\n25099000000000A\r\n\r\nOK\r\n", "", "not all digits"},
        {"\r\n+CME ERROR: 10\r\n", "", "an error with a number in it"},
        {"\r\nOK\r\n", "", "a terminal that does not tell"},
        {"", "", "no answer"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ImsiOf(c.Answer), c.Imsi) << c.Note;
}

} // namespace
} // namespace qvx
