#include "terminal/NetworkStatus.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace qvx {
namespace {

TEST(NetworkStatusTest, ReadsTheRegistrationFromAnswersOfAnyShape) {
    struct TCase {
        std::string Answer;
        std::optional<int32_t> Stat;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", 1, "home network"},
        {"\r\n+CREG: 2,5,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n", 5, "roaming with location fields"},
        {"+CREG:0,3\r\nOK", 3, "no blank after the colon"},
        {"+CREG: 1\r\n\r\n+CREG: 1,2\r\n\r\nOK\r\n", 2, "an unsolicited report comes first"},
        {"\r\nRING\r\n\r\n+CREG: 0,0\r\nOK\r\n", 0, "a call slipped in"},
        {"\r\nERROR\r\n", std::nullopt, "an error"},
        {"", std::nullopt, "silence"},
        {"\r\n+CREG: 0,11\r\nOK\r\n", std::nullopt, "a state no standard defines"},
        {"\r\n+CREG: 0,0001\r\nOK\r\n", std::nullopt, "four digits"},
        {"+CREG: 999999999999999999999,1\r\n", std::nullopt, "a huge mode cannot overflow"},
        {"+CREG: 0,\r\nOK", std::nullopt, "the state missing"},
        {"+CREG: x,1\r\nOK", std::nullopt, "a letter for the mode"},
        {"+CREG: 0,1x\r\nOK", std::nullopt, "garbage behind the state"},
        {"+CSQ: 20,99\r\nOK", std::nullopt, "the answer of the other query"},
        {"+CREG: 0,1", 1, "cut off behind the state"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ParseRegistration(c.Answer), c.Stat) << c.Note;
}

TEST(NetworkStatusTest, ReadsTheSignalAndConvertsItToDbm) {
    struct TCase {
        std::string Answer;
        std::optional<int32_t> Rssi;
        std::optional<int32_t> Dbm;
        const char* Note;
    };
    const TCase cases[] = {
        {"\r\n+CSQ: 20,99\r\n\r\nOK\r\n", 20, -73, "usual answer"},
        {"+CSQ: 0,0\r\nOK", 0, -113, "weakest"},
        {"+CSQ: 1,7\r\nOK", 1, -111, "one step up, worst bit error rate"},
        {"+CSQ: 31,0\r\nOK", 31, -51, "strongest"},
        {"+CSQ: 99,99\r\nOK", 99, std::nullopt, "not known"},
        {"+CSQ: 32,99\r\nOK", std::nullopt, std::nullopt, "beyond the scale"},
        {"+CSQ: 20,8\r\nOK", std::nullopt, std::nullopt, "bit error rate beyond its scale"},
        {"+CSQ: 20\r\nOK", std::nullopt, std::nullopt, "one field"},
        {"+CSQ: ,99\r\nOK", std::nullopt, std::nullopt, "empty rssi"},
        {"\r\n+CME ERROR: no network service\r\n", std::nullopt, std::nullopt, "an error"},
    };
    for (const TCase& c : cases) {
        const std::optional<int32_t> rssi = ParseSignal(c.Answer);
        EXPECT_EQ(rssi, c.Rssi) << c.Note;
        if (rssi) {
            EXPECT_EQ(RssiToDbm(*rssi), c.Dbm) << c.Note;
        }
    }
    EXPECT_EQ(RssiToDbm(-1), std::nullopt) << "a negative rssi has no dBm";
}

// The JSON names are part of the status that other programs read.
TEST(NetworkStatusTest, RegistrationNamesAndTheirFallback) {
    const std::pair<int32_t, std::string> names[] = {
        {0, "not_registered"}, {1, "home"},  {2, "searching"}, {3, "denied"},
        {5, "roaming"},        {-1, "none"}, {4, "unknown"},   {99, "unknown"},
    };
    for (const auto& [registration, name] : names)
        EXPECT_EQ(RegistrationName(registration), name) << registration;
    EXPECT_STREQ(RegistrationText(1), "домашняя сеть");
    EXPECT_STREQ(RegistrationText(7), RegistrationText(4)) << "one fallback for both";
}

} // namespace
} // namespace qvx
