#include "infra/Config.h"

#include "infra/IniFile.h"
#include "support/TempDir.h"
#include "support/Text.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

using test::HexOf;
using test::TTempDir;

void ExpectDefaults(const TConfig& c, const char* note) {
    EXPECT_EQ(c.Host, "") << note;
    EXPECT_EQ(c.Port, 5432) << note;
    EXPECT_EQ(c.DBName, "") << note;
    EXPECT_EQ(c.UserName, "") << note;
    EXPECT_EQ(c.Password, "") << note;
    EXPECT_EQ(c.SSLMode, "prefer") << note;
    EXPECT_EQ(c.Device, "") << note;
    EXPECT_EQ(c.BaudRate, 11) << note;
    EXPECT_EQ(c.StopBits, 0) << note;
    EXPECT_EQ(c.Parity, 0) << note;
    EXPECT_FALSE(c.RtsCts) << note;
    EXPECT_EQ(c.ModemTimeoutMs, 3000) << note;
    EXPECT_EQ(c.PIN, "") << note;
    EXPECT_EQ(c.SmsOldHours, 24) << note;
    EXPECT_FALSE(c.SmsTransliterate) << note;
}

TConfig LoadFrom(const TTempDir& dir, const std::string& content) {
    dir.Write(IniName, content);
    TConfig config(dir.Path());
    config.Load();
    return config;
}

TEST(ConfigTest, AbsentAndEmptyFilesGiveTheDefaults) {
    const TTempDir dir;
    TConfig config(dir.Path());
    EXPECT_EQ(config.IniFileName, dir.Path() + "QuorvexSMS.ini");
    config.Load();
    ExpectDefaults(config, "absent file");
    ExpectDefaults(LoadFrom(dir, ""), "empty file");
    ExpectDefaults(LoadFrom(dir, "[Database]\r\n[GSMTerminal]\r\n"), "sections without keys");
    ExpectDefaults(LoadFrom(dir, "\x01\xFF garbage ]]== [\n\n=\n"), "garbage");
}

TEST(ConfigTest, IndexedValuesMatchTheirTablesExactly) {
    struct TCase {
        const char* Key;
        std::string Value;
        int32_t TConfig::*Field;
        int32_t Expected;
        const char* Note;
    };
    std::vector<TCase> cases;
    for (size_t i = 0; i < BaudRates.size(); ++i)
        cases.push_back({"BaudRate", BaudRates[i].Name, &TConfig::BaudRate, int32_t(i), "table"});
    for (size_t i = 0; i < StopBitsNames.size(); ++i)
        cases.push_back({"StopBits", StopBitsNames[i], &TConfig::StopBits, int32_t(i), "table"});
    for (size_t i = 0; i < Parities.size(); ++i)
        cases.push_back({"Parity", Parities[i].Name, &TConfig::Parity, int32_t(i), "table"});
    const TCase odd[] = {
        {"BaudRate", "9600 \t", &TConfig::BaudRate, 6, "trailing blanks are trimmed"},
        {"BaudRate", "14400", &TConfig::BaudRate, 11, "unknown rate"},
        {"BaudRate", "", &TConfig::BaudRate, 11, "empty rate"},
        {"BaudRate", "09600", &TConfig::BaudRate, 11, "text, not a number"},
        {"StopBits", "1,5", &TConfig::StopBits, 0, "comma"},
        {"Parity", "even", &TConfig::Parity, 0, "case-sensitive"},
        {"Parity", "SPACE", &TConfig::Parity, 0, "case-sensitive"},
    };
    cases.insert(cases.end(), std::begin(odd), std::end(odd));

    const TTempDir dir;
    for (const TCase& c : cases) {
        const TConfig config =
            LoadFrom(dir, "[GSMTerminal]\r\n" + std::string(c.Key) + "=" + c.Value + "\r\n");
        EXPECT_EQ(config.*c.Field, c.Expected) << c.Key << "=" << c.Value << ": " << c.Note;
    }
}

TEST(ConfigTest, FlowControlIsRtsCtsOnlyForTheExactText) {
    struct TCase {
        const char* Value;
        bool RtsCts;
    };
    const TCase cases[] = {{"RTSCTS", true}, {"  RTSCTS\t", true}, {"rtscts", false},
                           {"None", false},  {"RtsCts", false},    {"RTS CTS", false},
                           {"", false}};
    const TTempDir dir;
    for (const TCase& c : cases)
        EXPECT_EQ(LoadFrom(dir, std::string("[GSMTerminal]\nFlowControl=") + c.Value).RtsCts,
                  c.RtsCts)
            << "FlowControl=" << c.Value;
}

TEST(ConfigTest, IntegersAreHexDecimalOrTheDefault) {
    struct TCase {
        const char* Value;
        int32_t ModemTimeoutMs;
        const char* Note;
    };
    const TCase cases[] = {
        {"0x1F4", 500, "hexadecimal"},
        {"0X1f4", 500, "capital prefix, small digits"},
        {"500", 500, "decimal"},
        {" 500 ", 500, "surrounding blanks"},
        {"+7", 7, "plus sign"},
        {"-5", -5, "negative"},
        {"2147483647", 2147483647, "largest"},
        {"-2147483648", -2147483647 - 1, "smallest"},
        {"0x7FFFFFFF", 2147483647, "largest hexadecimal"},
        {"abc", 3000, "not a number"},
        {"", 3000, "empty value"},
        {"0x", 3000, "prefix alone"},
        {"0xG1", 3000, "bad hexadecimal digit"},
        {"0x-1", 3000, "sign after the prefix"},
        {"0x80000000", 3000, "hexadecimal beyond 32-bit signed"},
        {"2147483648", 3000, "decimal beyond 32-bit signed"},
        {"99999999999999999999", 3000, "far beyond"},
        {"12abc", 3000, "trailing garbage"},
        {"1 2", 3000, "inner blank"},
        {"+-7", 3000, "two signs"},
        {"+", 3000, "sign alone"},
        {"-", 3000, "minus alone"},
        {"3.5", 3000, "fraction"},
    };
    const TTempDir dir;
    for (const TCase& c : cases)
        EXPECT_EQ(
            LoadFrom(dir, std::string("[GSMTerminal]\nModemTimeout=") + c.Value).ModemTimeoutMs,
            c.ModemTimeoutMs)
            << "ModemTimeout=" << c.Value << ": " << c.Note;
    EXPECT_EQ(LoadFrom(dir, "[Database]\nPort=\n").Port, 5432) << "empty Port";
    EXPECT_EQ(LoadFrom(dir, "[Database]\nPort=0x1538\n").Port, 5432) << "hexadecimal Port";
    EXPECT_EQ(LoadFrom(dir, "[Database]\nPort=6543\n").Port, 6543) << "decimal Port";
}

TEST(ConfigTest, ReaderRules) {
    struct TCase {
        std::string Ini;
        std::string Host;
        const char* Note;
    };
    const std::string long3000(3000, 'h');
    const TCase cases[] = {
        {"[Database]\nHost=db1\n", "db1", "plain"},
        {"[DATABASE]\nHOST=db1\n", "db1", "names in capitals"},
        {"[database]\nhost=Db1\n", "Db1", "names in small letters; the value keeps its case"},
        {"  [ Database ]  \r\n\tHost\t=  db1  \r\n", "db1", "blanks and tabs around everything"},
        {"[Database]\nHost=first\nHost=second\n", "first", "first occurrence wins"},
        {"[Database]\n;Host=commented\n#Host=too\nHost=db1\n", "db1", "comment lines"},
        {"\xEF\xBB\xBF[Database]\nHost=db1\n", "db1", "byte order mark"},
        {"Host=outside\n[Database]\n", "", "key before any section"},
        {"[GSMTerminal]\nHost=other\n[Database]\n", "", "key of another section"},
        {"[Database]\nHost=a=b;c\n", "a=b;c", "the value is everything after the first '='"},
        {"[Database]\nHost=\n", "", "empty value"},
        {"[Database]\nHost=db1", "db1", "last line without a line end"},
        {"[Database]\nHost=" + long3000 + "\n", std::string(2047, 'h'), "cut to 2047"},
        {"[Database]\nHost=\xD1\xE5\xF0\xE2\xE5\xF0\n", "\xD1\xE5\xF0\xE2\xE5\xF0",
         "Windows-1251 bytes kept"},
    };
    const TTempDir dir;
    for (const TCase& c : cases)
        EXPECT_EQ(HexOf(LoadFrom(dir, c.Ini).Host), HexOf(c.Host)) << c.Note;
}

TEST(ConfigTest, OversizedFileIsReadOnlyUpToItsBound) {
    const TTempDir dir;
    const std::string filler = "; " + std::string(1000, 'z') + "\n";
    std::string early = "[Database]\nHost=early\n";
    std::string late = "[Database]\n";
    for (int i = 0; i < 2000; ++i) {
        early += filler;
        late += filler;
    }
    late += "Host=late\n";
    EXPECT_EQ(LoadFrom(dir, early).Host, "early") << "keys before the bound are read";
    EXPECT_EQ(LoadFrom(dir, late).Host, "") << "keys past the first MiB count as absent";
    const std::string hugeLine = "[Database]\nHost=" + std::string(200000, 'q') + "\nPort=1\n";
    const TConfig config = LoadFrom(dir, hugeLine);
    EXPECT_EQ(config.Host.size(), 2047u) << "a huge line still gives a cut value";
    EXPECT_EQ(config.Port, 1) << "the line after a huge one is read";
}

TEST(ConfigTest, ReloadResetsVanishedKeysAndDatabaseParameters) {
    const TTempDir dir;
    dir.Write(IniName, "[Database]\nHost=db\nSSLMode=verify-full\nSSLRootCert=/etc/qvx/ca.crt\n"
                       "[GSMTerminal]\nPIN=1234\n"
                       "BaudRate=9600\n");
    TConfig config(dir.Path());
    config.Load();
    ASSERT_EQ(config.PIN, "1234");
    ASSERT_EQ(config.BaudRate, 6);
    ASSERT_EQ(config.SSLMode, "verify-full");
    ASSERT_EQ(config.SSLRootCert, "/etc/qvx/ca.crt");
    config.SmsOldHours = 5;
    config.SmsTransliterate = true;

    dir.Write(IniName, "[Database]\nHost=db\nSSLMode=\n");
    config.Load();
    EXPECT_EQ(config.PIN, "") << "a removed PIN must be empty again";
    EXPECT_EQ(config.SSLRootCert, "") << "a removed SSLRootCert must be empty again";
    EXPECT_EQ(config.SSLMode, "prefer") << "an empty SSLMode means libpq's default";
    EXPECT_EQ(config.BaudRate, 11) << "a removed BaudRate returns to 115200";
    EXPECT_EQ(config.Host, "db");
    EXPECT_EQ(config.SmsOldHours, 24) << "database parameters start from their defaults";
    EXPECT_FALSE(config.SmsTransliterate);
}

TEST(ConfigTest, IniFileReadsTheFileBytesForAnySectionName) {
    const TTempDir dir;
    dir.Write("x.ini", "[S]\nKey=v\n[T]\nkey=w\n");
    const TIniFile ini(dir.File("x.ini"));
    EXPECT_EQ(ini.ReadString("s", "KEY", "d"), "v");
    EXPECT_EQ(ini.ReadString("T", "Key", "d"), "w");
    EXPECT_EQ(ini.ReadString("U", "Key", "d"), "d") << "missing section gives the default";
    EXPECT_EQ(ini.ReadInteger("S", "Key", 9), 9) << "text gives the integer default";
    EXPECT_EQ(TIniFile(dir.Path()).ReadString("S", "Key", "d"), "d") << "a directory reads empty";
}

} // namespace
} // namespace qvx
