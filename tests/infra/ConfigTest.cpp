#include "infra/Config.h"

#include "infra/IniFile.h"
#include "support/TempDir.h"
#include "support/Text.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
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
                       "BaudRate=9600\n[GSMTerminal2]\nDevice=ttyS1\n");
    TConfig config(dir.Path());
    config.Load();
    ASSERT_EQ(config.Terminals.size(), 2u);
    ASSERT_EQ(config.PIN, "1234");
    ASSERT_EQ(config.BaudRate, 6);
    ASSERT_EQ(config.SSLMode, "verify-full");
    ASSERT_EQ(config.SSLRootCert, "/etc/qvx/ca.crt");
    config.SmsOldHours = 5;
    config.SmsTransliterate = true;

    dir.Write(IniName, "[Database]\nHost=db\nSSLMode=\n");
    config.Load();
    EXPECT_EQ(config.PIN, "") << "a removed PIN must be empty again";
    EXPECT_EQ(config.Terminals.size(), 1u) << "a removed section must leave the terminals";
    EXPECT_EQ(config.SSLRootCert, "") << "a removed SSLRootCert must be empty again";
    EXPECT_EQ(config.SSLMode, "prefer") << "an empty SSLMode means libpq's default";
    EXPECT_EQ(config.BaudRate, 11) << "a removed BaudRate returns to 115200";
    EXPECT_EQ(config.Host, "db");
    EXPECT_EQ(config.SmsOldHours, 24) << "database parameters start from their defaults";
    EXPECT_FALSE(config.SmsTransliterate);
}

// One terminal as a line: every field the service uses, so that a key read into the wrong
// field or section shows.
std::string Describe(const TTerminalConfig& t) {
    std::ostringstream line;
    line << t.Number << ' ' << t.Name << ' ' << (t.Device.empty() ? "-" : t.Device) << ' '
         << BaudRateName(t.BaudRate) << '/' << StopBitsName(t.StopBits) << '/'
         << ParityName(t.Parity) << (t.RtsCts ? "/rtscts " : " ") << t.ModemTimeoutMs << "ms"
         << (t.PIN.empty() ? "" : " pin=" + t.PIN) << (t.Send ? " send" : "")
         << (t.Receive ? " receive" : "") << ' ' << t.MaxPerMinute << "/min " << t.DailyLimit
         << "/day@" << t.DailyResetMin;
    for (size_t i = 0; i < t.Prefixes.size(); ++i)
        line << (i == 0 ? " " : ",") << t.Prefixes[i];
    line << (t.PrefixOnly ? " only" : " prefer");
    return line.str();
}

// The terminal sections: what each key gives, which sections count, and what the check and
// the worker's start refuse. {dir} in an INI text stands for the test's directory.
TEST(ConfigTest, TerminalSections) {
    struct TCase {
        const char* Note;
        std::string Ini;
        std::vector<std::string> Terminals;
        std::vector<std::string> Problems;
    };
    const std::string plain = " 115200/1/None 3000ms send receive 0/min 0/day@0 prefer";
    const std::string first = "[GSMTerminal]\nDevice=ttyS0\n";
    const TCase cases[] = {
        {"defaults",
         first + "[GSMTerminal2]\nDevice=ttyS1\n",
         {"1 1 ttyS0" + plain, "2 2 ttyS1" + plain},
         {}},
        {"terminal 1 without a device is still terminal 1", "", {"1 1 -" + plain}, {}},
        {"every key",
         first + "[GSMTerminal2]\nName=gsm_B-2\nDevice=/dev/ttyUSB1\nBaudRate=9600\n"
                 "StopBits=2\nParity=Even\nFlowControl=RTSCTS\nModemTimeout=5000\nPIN=1234\n"
                 "Send=0\nReceive=0\nMaxPerMinute=10\nDailyLimit=0x1F4\nDailyReset=23:59\n"
                 "Prefixes= +7916 , 7926\nPrefixMode=only\n",
         {"1 1 ttyS0" + plain,
          "2 gsm_B-2 /dev/ttyUSB1 9600/2/Even/rtscts 5000ms pin=1234 10/min 500/day@1439 "
          "7916,7926 only"},
         {}},
        {"keys of terminal 1 apply to terminal 1",
         "[GSMTerminal]\nDevice=ttyS0\nName=main\nSend=0\nDailyLimit=50\nDailyReset=00:01\n"
         "PrefixMode=prefer\nPrefixes=7\n",
         {"1 main ttyS0 115200/1/None 3000ms receive 0/min 50/day@1 7 prefer"},
         {}},
        {"empty values are the defaults",
         first + "[GSMTerminal2]\nDevice=ttyS1\nName=\nSend=\nReceive=\nMaxPerMinute=\n"
                 "DailyLimit=\nDailyReset=\nPrefixes=\nPrefixMode=\n",
         {"1 1 ttyS0" + plain, "2 2 ttyS1" + plain},
         {}},
        {"unreadable values keep the defaults and are named",
         first +
             "[GSMTerminal2]\nDevice=ttyS1\nSend=yes\nReceive=2\nMaxPerMinute=-1\n"
             "DailyLimit=abc\nDailyReset=24:00\nPrefixes=7916,,7926\nPrefixMode=Only\n"
             "[GSMTerminal3]\nDevice=ttyS2\nDailyReset=7:00\nPrefixes=79a\n"
             "MaxPerMinute=" +
             std::string(100, '9') + "\n",
         {"1 1 ttyS0" + plain, "2 2 ttyS1" + plain, "3 3 ttyS2" + plain},
         {"Терминал [GSMTerminal2]: недопустимое значение Send=yes",
          "Терминал [GSMTerminal2]: недопустимое значение Receive=2",
          "Терминал [GSMTerminal2]: недопустимое значение MaxPerMinute=-1",
          "Терминал [GSMTerminal2]: недопустимое значение DailyLimit=abc",
          "Терминал [GSMTerminal2]: недопустимое значение DailyReset=24:00",
          "Терминал [GSMTerminal2]: недопустимое значение Prefixes=7916,,7926",
          "Терминал [GSMTerminal2]: недопустимое значение PrefixMode=Only",
          "Терминал [GSMTerminal3]: недопустимое значение MaxPerMinute=" + std::string(51, '9') +
              "...",
          "Терминал [GSMTerminal3]: недопустимое значение DailyReset=7:00",
          "Терминал [GSMTerminal3]: недопустимое значение Prefixes=79a"}},
        {"a section with an empty Device is off, whatever else it holds",
         first + "[GSMTerminal2]\nName=bad name!\nSend=yes\n[GSMTerminal3]\nDevice=  \n"
                 "[GSMTerminal4]\nDevice=ttyS0\nDevice=\n[GSMTerminal5]\nDevice=ttyS5\n",
         {"1 1 ttyS0" + plain, "4 4 ttyS0" + plain, "5 5 ttyS5" + plain},
         {"Терминал [GSMTerminal4]: порт ttyS0 уже задан в [GSMTerminal]"}},
        {"names: allowed characters and length",
         first +
             "[GSMTerminal2]\nDevice=ttyS1\nName=a.b\n[GSMTerminal3]\nDevice=ttyS2\n"
             "Name=\xD1\xE8\xEC\n[GSMTerminal4]\nDevice=ttyS3\nName=" +
             std::string(32, 'n') + "\n[GSMTerminal5]\nDevice=ttyS4\nName=" + std::string(33, 'n') +
             "\n[GSMTerminal6]\nDevice=ttyS5\nName=../x\n",
         {"1 1 ttyS0" + plain, "2 a.b ttyS1" + plain, "3 \xD1\xE8\xEC ttyS2" + plain,
          "4 " + std::string(32, 'n') + " ttyS3" + plain,
          "5 " + std::string(33, 'n') + " ttyS4" + plain, "6 ../x ttyS5" + plain},
         {"Терминал [GSMTerminal2]: имя \"a.b\" может содержать только латинские буквы, цифры, "
          "'-' и '_'",
          "Терминал [GSMTerminal3]: имя \"\xD1\xE8\xEC\" может содержать только латинские "
          "буквы, цифры, '-' и '_'",
          "Терминал [GSMTerminal5]: имя длиннее 32 символов",
          "Терминал [GSMTerminal6]: имя \"../x\" может содержать только латинские буквы, "
          "цифры, '-' и '_'"}},
        {"names used twice, also a default number",
         "[GSMTerminal]\nDevice=ttyS0\nName=a\n[GSMTerminal2]\nDevice=ttyS1\nName=a\n"
         "[GSMTerminal3]\nDevice=ttyS2\nName=4\n[GSMTerminal4]\nDevice=ttyS3\n"
         "[GSMTerminal5]\nDevice=ttyS4\nName=A\n",
         {"1 a ttyS0" + plain, "2 a ttyS1" + plain, "3 4 ttyS2" + plain, "4 4 ttyS3" + plain,
          "5 A ttyS4" + plain},
         {"Терминал [GSMTerminal2]: имя \"a\" уже задано в [GSMTerminal]",
          "Терминал [GSMTerminal4]: имя \"4\" уже задано в [GSMTerminal3]"}},
        {"one device named twice, also under another name of the same file",
         "[GSMTerminal]\nDevice=COM1\n[GSMTerminal2]\nDevice=/dev/ttyS0\n"
         "[GSMTerminal3]\nDevice={dir}modem\n[GSMTerminal4]\nDevice={dir}link\n"
         "[GSMTerminal5]\nDevice={dir}modem\n[GSMTerminal6]\nDevice={dir}other\n",
         {"1 1 COM1" + plain, "2 2 /dev/ttyS0" + plain, "3 3 {dir}modem" + plain,
          "4 4 {dir}link" + plain, "5 5 {dir}modem" + plain, "6 6 {dir}other" + plain},
         {"Терминал [GSMTerminal2]: порт /dev/ttyS0 уже задан в [GSMTerminal]",
          "Терминал [GSMTerminal4]: порт {dir}link уже задан в [GSMTerminal3]",
          "Терминал [GSMTerminal5]: порт {dir}modem уже задан в [GSMTerminal3]"}},
        {"16 is the last section; gaps are allowed",
         first + "[GSMTerminal1]\nDevice=ttyS1\n[GSMTerminal0]\nDevice=ttyS2\n"
                 "[GSMTerminal7]\nDevice=ttyS7\n[GSMTerminal16]\nDevice=ttyS16\n"
                 "[GSMTerminal17]\nDevice=ttyS17\n[GSMTerminal016]\nDevice=ttyS18\n",
         {"1 1 ttyS0" + plain, "7 7 ttyS7" + plain, "16 16 ttyS16" + plain},
         {}},
    };
    const TTempDir dir;
    dir.Write("modem", "");
    std::filesystem::create_symlink(dir.File("modem"), dir.File("link"));
    const auto withDir = [&](std::string text) {
        for (size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}"))
            text.replace(at, 5, dir.Path());
        return text;
    };
    for (const TCase& c : cases) {
        const TConfig config = LoadFrom(dir, withDir(c.Ini));
        std::vector<std::string> terminals;
        for (const TTerminalConfig& terminal : config.Terminals)
            terminals.push_back(Describe(terminal));
        std::vector<std::string> expected;
        for (const std::string& line : c.Terminals)
            expected.push_back(withDir(line));
        EXPECT_EQ(terminals, expected) << c.Note;
        expected.clear();
        for (const std::string& line : c.Problems)
            expected.push_back(withDir(line));
        EXPECT_EQ(TerminalProblems(config.Terminals), expected) << c.Note;
        if (!config.Terminals.empty()) {
            EXPECT_EQ(config.Terminals[0].Device, config.Device) << c.Note << ": terminal 1";
            EXPECT_EQ(config.Terminals[0].BaudRate, config.BaudRate) << c.Note << ": terminal 1";
        }
    }
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
