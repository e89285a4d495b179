// quorvexsms --check against a real database on the test cluster and the GSM simulator on a
// pseudo-terminal: the report's verdicts, that the check changes nothing, that it keeps off
// the port of a running service, and the program's exit codes and UTF-8 output.
#include "service/Check.h"

#include "gsmsim/GsmSimulator.h"
#include "infra/Codepage.h"
#include "infra/Com.h"
#include "processing/DatabaseRules.h"
#include "service/CheckHints.h"
#include "service/CommandLine.h"
#include "service/ControlChannel.h"
#include "support/ChildProcess.h"
#include "support/PgFixture.h"
#include "support/TempDir.h"
#include "support/Text.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qvx {
namespace {

using test::TTempDir;
using test::U8;

constexpr const char* ServiceBinary = QVX_BINARY_DIR "/quorvexsms";

// The report lines of one check, as printed (Windows-1251).
struct TReport {
    std::vector<std::string> Lines;

    bool Has(const std::string& line) const {
        return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
    }
    bool Contains(const std::string& part) const {
        return std::any_of(Lines.begin(), Lines.end(),
                           [&](const std::string& line) { return line.find(part) != npos; });
    }
    // The lines that start with prefix, in order.
    std::vector<std::string> Starting(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& line : Lines)
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }
    // The result line that follows a step's title and the lines shown under it.
    std::string ResultOf(const std::string& title) const {
        auto line = std::find(Lines.begin(), Lines.end(), title + "...");
        for (; line != Lines.end(); ++line)
            if (line->rfind("  ОК", 0) == 0 || line->rfind("  ОШИБКА", 0) == 0 ||
                line->rfind("  ВНИМАНИЕ", 0) == 0 || line->rfind("  пропущено", 0) == 0)
                return *line;
        return "(no result for " + title + ")";
    }
    // The line after the first one equal to line; empty when there is none.
    std::string After(const std::string& line) const {
        auto at = std::find(Lines.begin(), Lines.end(), line);
        return at == Lines.end() || at + 1 == Lines.end() ? std::string() : at[1];
    }
    // The whole report as UTF-8, for failure messages.
    std::string Text() const {
        std::string text;
        for (const std::string& line : Lines)
            text += "\n  | " + Cp1251ToUtf8(line);
        return text;
    }

    static constexpr size_t npos = std::string::npos;
};

TCheckPrinter Collect(TReport& report) {
    return [&report](const std::string& line) { report.Lines.push_back(line); };
}

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs quorvexsms with args; its stdout lands in outFile, its stderr in outFile.err. The exit
// code, -1 if it could not run.
int RunProgram(const std::vector<std::string>& args, const std::string& outFile) {
    std::vector<std::string> all{ServiceBinary};
    all.insert(all.end(), args.begin(), args.end());
    return test::RunToEnd({.Args = all, .OutFile = outFile, .ErrFile = outFile + ".err"});
}

// INI lines for the settings the check needs besides the database.
std::string TerminalSection(const std::string& device) {
    return "[GSMTerminal]\r\nDevice=" + device + "\r\nModemTimeout=1000\r\n";
}

const std::string RequiredLines[] = {
    "  ОШИБКА: Не задан адрес сервера базы данных (параметр 'Host')",
    "  ОШИБКА: Не задано имя базы данных (параметр 'DBName')",
    "  ОШИБКА: Не задано имя пользователя базы данных (параметр 'UserName')",
    "  ОШИБКА: Не задан порт GSM терминала (параметр 'Device')",
};

TEST(CheckTest, CommandLineAsksForTheCheck) {
    struct TCase {
        std::vector<std::string> Args;
        TCommandAction Action;
    };
    const TCase cases[] = {
        {{"--check"}, TCommandAction::Check},
        {{"--dir", "/srv/sms", "--check"}, TCommandAction::Check},
        {{"--check", "--dir=/srv/sms"}, TCommandAction::Check},
        {{"--check", "--control", "128"}, TCommandAction::Usage},
        {{"--control", "129", "--check"}, TCommandAction::Usage},
        {{"--check=yes"}, TCommandAction::Usage},
    };
    for (const TCase& c : cases) {
        const TCommandLine command = ParseCommandLine(c.Args);
        std::string args;
        for (const std::string& arg : c.Args)
            args += " " + arg;
        EXPECT_EQ(command.Action, c.Action) << "wrong action for" << args;
        if (c.Action == TCommandAction::Check && c.Args.size() > 1) {
            EXPECT_EQ(command.Dir, "/srv/sms/") << "the directory is lost for" << args;
        }
    }
}

TEST(CheckTest, MissingIniFileNamesEveryRequiredSettingAndTouchesNothing) {
    TTempDir dir;
    TReport report;
    TServiceCheck check(dir.Path(), Collect(report));
    EXPECT_FALSE(check.Run()) << "a check without an INI file must fail:" << report.Text();
    EXPECT_EQ(report.ResultOf("Файл настроек " + dir.File("QuorvexSMS.ini")),
              "  ОШИБКА: файл не найден, все параметры взяты по умолчанию")
        << "the missing file must be named:" << report.Text();
    for (const std::string& line : RequiredLines)
        EXPECT_TRUE(report.Has(line))
            << "missing required-setting line " << Cp1251ToUtf8(line) << ":" << report.Text();
    EXPECT_EQ(report.After("  ОШИБКА: файл не найден, все параметры взяты по умолчанию"),
              HintLine(IniFileHint(dir.File("QuorvexSMS.ini"))))
        << "a failed step says what to do:" << report.Text();
    EXPECT_EQ(report.After(RequiredLines[3]),
              HintLine(RequiredSettingsHint(dir.File("QuorvexSMS.ini"))))
        << "one hint after the step's last result line:" << report.Text();
    EXPECT_EQ(check.Failures(), 5) << "the file and four settings are the failures";
    EXPECT_EQ(report.ResultOf("Подключение к базе данных"),
              "  пропущено: не заданы параметры подключения")
        << "no connection may be tried without its settings:" << report.Text();
    EXPECT_EQ(report.ResultOf("Открытие порта GSM терминала"), "  пропущено: не задан порт")
        << report.Text();
    EXPECT_TRUE(report.Has("Итог: проверка НЕ пройдена, ошибок: 5")) << report.Text();
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()))
        << "the check must not create files in the service directory";
}

// Every value the service would replace without a word gets a warning; good values none.
TEST(CheckTest, WarnsOfSettingsTheServiceWouldReplace) {
    struct TCase {
        const char* Line;
        std::vector<std::string> Warnings;
    };
    const TCase cases[] = {
        {"[GSMTerminal]\r\nBaudRate=9600", {}},
        {"[GSMTerminal]\r\nBaudRate=14400",
         {"  ВНИМАНИЕ: BaudRate: значение \"14400\" не распознано, служба возьмёт 115200"}},
        {"[GSMTerminal]\r\nStopBits=1,5",
         {"  ВНИМАНИЕ: StopBits: значение \"1,5\" не распознано, служба возьмёт 1"}},
        {"[GSMTerminal]\r\nStopBits=1.5",
         {"  ВНИМАНИЕ: StopBits: 1.5 стоповых бита порт с 8 битами данных не примет"}},
        {"[GSMTerminal]\r\nParity=even",
         {"  ВНИМАНИЕ: Parity: значение \"even\" не распознано, служба возьмёт None"}},
        {"[GSMTerminal]\r\nParity=Even", {}},
        {"[GSMTerminal]\r\nFlowControl=RTSCTS", {}},
        {"[GSMTerminal]\r\nFlowControl=rtscts",
         {"  ВНИМАНИЕ: FlowControl: значение \"rtscts\" не распознано, служба возьмёт None"}},
        {"[GSMTerminal]\r\nModemTimeout=abc",
         {"  ВНИМАНИЕ: ModemTimeout: значение \"abc\" не целое число, служба возьмёт 3000"}},
        {"[GSMTerminal]\r\nModemTimeout=0x1F4",
         {"  ВНИМАНИЕ: ModemTimeout: меньше 1000 мс - отправка SMS не сможет дождаться "
          "приглашения терминала"}},
        {"[Database]\r\nPort=abc",
         {"  ВНИМАНИЕ: Port: значение \"abc\" не целое число, служба возьмёт 5432"}},
        {"[Database]\r\nPort=", {}},
        {"[GSMTerminal]\r\nParity=\x1b[2J\x7f",
         {"  ВНИМАНИЕ: Parity: значение \"<1B>[2J<7F>\" не распознано, служба возьмёт None"}},
    };
    for (const TCase& c : cases) {
        TTempDir dir;
        // The case's line comes first: the first occurrence of a key wins.
        dir.Write("QuorvexSMS.ini", std::string(c.Line) +
                                        "\r\n[Database]\r\nHost=h\r\nDBName=d\r\nUserName=u\r\n" +
                                        TerminalSection("ttyS0"));
        ASSERT_EQ(chmod(dir.File("QuorvexSMS.ini").c_str(), 0640), 0);
        TReport report;
        TServiceCheck check(dir.Path(), Collect(report));
        check.CheckSettings();
        EXPECT_EQ(report.Starting("  ВНИМАНИЕ"), c.Warnings)
            << "wrong warnings for " << c.Line << ":" << report.Text();
        EXPECT_EQ(check.Failures(), 0) << "a warning is no failure, for " << c.Line;
    }
}

// The file holds the database password.
TEST(CheckTest, WarnsOfAnIniFileOthersCanRead) {
    for (const mode_t mode : {0644, 0604, 0640, 0600}) {
        TTempDir dir;
        dir.Write("QuorvexSMS.ini", "[Database]\r\nHost=h\r\n");
        ASSERT_EQ(chmod(dir.File("QuorvexSMS.ini").c_str(), mode), 0);
        TReport report;
        TServiceCheck(dir.Path(), Collect(report)).CheckSettings();
        EXPECT_EQ(report.Contains("файл могут читать все пользователи"), (mode & S_IROTH) != 0)
            << "mode " << std::oct << mode << ":" << report.Text();
    }
}

// The terminal sections: a step of their own only with several terminals or their keys in
// [GSMTerminal], and every problem that keeps the service from starting is a failure.
TEST(CheckTest, TerminalSectionsAreJudged) {
    const std::string db = "[Database]\r\nHost=h\r\nDBName=d\r\nUserName=u\r\n";
    struct TCase {
        std::string Ini;
        std::vector<std::string> Results; // the step's result lines; none: no step
        std::string Shown;                // a line the step must show
    };
    const TCase cases[] = {
        {TerminalSection("ttyS0"), {}, ""},
        {TerminalSection("ttyS0") + "Send=yes\r\n",
         {"  ОШИБКА: Терминал [GSMTerminal]: недопустимое значение Send=yes"},
         "  [GSMTerminal] Name = 1, Send = 1, Receive = 1, MaxPerMinute = 0, DailyLimit = 0, "
         "DailyReset = 00:00, Prefixes = (нет), PrefixMode = prefer"},
        {TerminalSection("ttyS0") + "Name=a\r\n[GSMTerminal2]\r\nDevice=ttyS1\r\nName=a\r\n"
                                    "BaudRate=14400\r\n",
         {"  ВНИМАНИЕ: BaudRate: значение \"14400\" не распознано, служба возьмёт 115200",
          "  ОШИБКА: Терминал [GSMTerminal2]: имя \"a\" уже задано в [GSMTerminal]"},
         "  [GSMTerminal2] Device = ttyS1 (/dev/ttyS1)"},
        {TerminalSection("ttyS0") +
             "[GSMTerminal3]\r\nDevice=COM1\r\nName=b\r\n"
             "Prefixes=7916,+7926\r\nPrefixMode=only\r\nDailyReset=03:30\r\n",
         {"  ОШИБКА: Терминал [GSMTerminal3]: порт COM1 уже задан в [GSMTerminal]"},
         "  [GSMTerminal3] Name = b, Send = 1, Receive = 1, MaxPerMinute = 0, DailyLimit = 0, "
         "DailyReset = 03:30, Prefixes = 7916,7926, PrefixMode = only"},
        {TerminalSection("ttyS0") + "[GSMTerminal2]\r\nDevice=ttyUSB0\r\n", {"  ОК"}, ""},
        {TerminalSection("ttyS0") + "Send=0\r\n[GSMTerminal2]\r\nDevice=ttyUSB0\r\nSend=0\r\n"
                                    "Receive=0\r\n",
         {"  ВНИМАНИЕ: Send=0 у всех терминалов: служба не отправит ни одного сообщения", "  ОК"},
         ""},
    };
    for (const TCase& c : cases) {
        TTempDir dir;
        dir.Write("QuorvexSMS.ini", db + c.Ini);
        ASSERT_EQ(chmod(dir.File("QuorvexSMS.ini").c_str(), 0640), 0);
        TReport report;
        TServiceCheck check(dir.Path(), Collect(report));
        check.CheckSettings();
        const auto step =
            std::find_if(report.Lines.begin(), report.Lines.end(), [](const std::string& line) {
                return line.rfind("GSM терминалы: ", 0) == 0;
            });
        std::vector<std::string> results;
        for (auto line = step; line != report.Lines.end(); ++line)
            if (line->rfind("  ОК", 0) == 0 || line->rfind("  ОШИБКА", 0) == 0 ||
                line->rfind("  ВНИМАНИЕ", 0) == 0)
                results.push_back(*line);
        EXPECT_EQ(results, c.Results) << "for " << c.Ini << ":" << report.Text();
        const auto failures = std::count_if(results.begin(), results.end(), [](const auto& line) {
            return line.rfind("  ОШИБКА", 0) == 0;
        });
        EXPECT_EQ(check.Failures(), failures) << "for " << c.Ini << ":" << report.Text();
        if (failures > 0) {
            EXPECT_EQ(report.Lines.back(),
                      HintLine(TerminalSectionsHint(dir.File("QuorvexSMS.ini"))))
                << "a refused section says what to do:" << report.Text();
        }
        if (!c.Shown.empty()) {
            EXPECT_TRUE(report.Has(c.Shown))
                << Cp1251ToUtf8(c.Shown) << " missing:" << report.Text();
        }
    }
}

TEST(CheckTest, SslModeMustBeOneLibpqKnows) {
    struct {
        const char* Value;
        const char* Failure; // nullptr: accepted
    } const cases[] = {
        {"verify-full", nullptr},
        {"Require",
         "  ОШИБКА: Недопустимое значение параметра 'SSLMode': \"Require\" (допустимы disable, "
         "allow, prefer, require, verify-ca, verify-full)"},
    };
    for (const auto& c : cases) {
        TTempDir dir;
        dir.Write("QuorvexSMS.ini", std::string("[Database]\r\nHost=h\r\nDBName=d\r\nUserName=u"
                                                "\r\nSSLMode=") +
                                        c.Value + "\r\n" + TerminalSection("ttyS0"));
        TReport report;
        TServiceCheck check(dir.Path(), Collect(report));
        check.CheckSettings();
        EXPECT_TRUE(report.Has(std::string("  [Database] SSLMode = ") + c.Value)) << report.Text();
        EXPECT_EQ(report.Starting("  ОШИБКА"),
                  c.Failure ? std::vector<std::string>{c.Failure} : std::vector<std::string>{})
            << c.Value << ":" << report.Text();
        if (c.Failure) {
            check.CheckDatabase();
            EXPECT_EQ(report.ResultOf("Подключение к базе данных"),
                      "  пропущено: неверный параметр SSLMode")
                << "no connection with a mode libpq refuses:" << report.Text();
        }
    }
}

// A missing port's hint names the devices that are there, so that Device can be copied.
TEST(CheckTest, PortHintListsTheSerialDevicesPresent) {
    TTempDir byId;
    EXPECT_NE(PortHint(ComNoSuchPort, byId.Path()).find("нет ни одного устройства"),
              std::string::npos);
    EXPECT_NE(PortHint(ComNoSuchPort, byId.File("missing/")).find("нет ни одного устройства"),
              std::string::npos);
    byId.Write("usb-Siemens_MC35i-if00-port0", "");
    byId.Write("usb-FTDI_FT232R-if00-port0", "");
    EXPECT_EQ(PortHint(ComNoSuchPort, byId.Path()),
              "есть устройства " + byId.Path() +
                  ": usb-FTDI_FT232R-if00-port0, usb-Siemens_MC35i-if00-port0; задайте Device=" +
                  byId.Path() + "<имя>");
    EXPECT_NE(PortHint(ComPortBusy, byId.Path()), PortHint(ComNoSuchPort, byId.Path()));

    EXPECT_TRUE(UserInGroup("root", "root")) << "the primary group counts";
    EXPECT_FALSE(UserInGroup("root", "no-such-group-qvx"));
    EXPECT_FALSE(UserInGroup("no-such-user-qvx", "root"));
}

TEST(CheckTest, ServiceLockIsOnlyTried) {
    TTempDir dir;
    EXPECT_FALSE(ServiceRunsFor(dir.Path())) << "no service runs for a fresh directory";
    EXPECT_FALSE(std::filesystem::exists(dir.File(InstanceLockName)))
        << "looking for a service must not create its lock file";
    {
        TControlServer service;
        ASSERT_TRUE(service.Open(dir.Path())) << Cp1251ToUtf8(service.FLastError);
        EXPECT_TRUE(ServiceRunsFor(dir.Path())) << "the held lock must be seen";
        EXPECT_TRUE(ServiceRunsFor(dir.Path())) << "the check must not have kept the lock";
    }
    EXPECT_FALSE(ServiceRunsFor(dir.Path())) << "a lock left by an ended service is free";
    TControlServer next;
    EXPECT_TRUE(next.Open(dir.Path())) << "a service must start after a check looked";
}

// Tests with a fresh database and the simulator behind a link in the service directory.
class CheckDatabaseTest : public test::TPgTest {
protected:
    void SetUp() override {
        TPgTest::SetUp();
        if (HasFatalFailure())
            return;
        FSim.SetLinkPath(FDir.File("modem"));
        ASSERT_TRUE(FSim.Start()) << "the GSM simulator did not start: " << FSim.LastError();
    }

    void WriteIni(const std::string& database, const std::string& device) {
        FDir.Write("QuorvexSMS.ini", database + TerminalSection(device));
    }
    void WriteIni() { WriteIni(FDb->IniSection(), FSim.LinkPath()); }

    TReport RunCheck(bool expectPass) {
        TReport report;
        TServiceCheck check(FDir.Path(), Collect(report));
        EXPECT_EQ(check.Run(), expectPass) << "wrong verdict:" << report.Text();
        return report;
    }

    TTempDir FDir;
    TGsmSimulator FSim;
};

TEST_F(CheckDatabaseTest, PassesAgainstTheDemoDatabaseAndTheSimulatorAndChangesNothing) {
    FDb->Exec(ReadWhole(QVX_SOURCE_DIR "/db/demo-data.sql"));
    const auto deliveries = [&] {
        return FDb->Query("SELECT msgid, chanid, sentdt FROM msgdelivery ORDER BY 1, 2");
    };
    const auto before = deliveries();
    WriteIni();
    const TReport report = RunCheck(true);

    EXPECT_TRUE(report.Has("  Версия базы данных \"Кворвекс\": 2.00")) << report.Text();
    EXPECT_TRUE(report.Has(std::string("  ВНИМАНИЕ: ") + UnencryptedMessage))
        << "the test server is reached over TCP without TLS:" << report.Text();
    EXPECT_EQ(report.ResultOf("Срок жизни сообщений (SMSOLDHOURS)"),
              "  ОК: отправляются сообщения не старше 24 ч")
        << report.Text();
    EXPECT_EQ(report.ResultOf("Транслитерация (SMSTRANSLITERATE)"),
              "  ОК: 0: транслитерация выключена")
        << report.Text();
    EXPECT_EQ(report.ResultOf("Неотправленные SMS за последние 24 ч"), "  ОК: ожидают отправки: 4")
        << "the demo holds four pending SMS:" << report.Text();
    EXPECT_EQ(report.ResultOf("Инициализация GSM терминала"), "  ОК") << report.Text();
    EXPECT_TRUE(report.Contains("| PIN код не требуется"))
        << "the terminal's own lines must be shown:" << report.Text();
    EXPECT_TRUE(report.Has("Итог: проверка пройдена")) << report.Text();

    const std::vector<std::string> commands = FSim.CommandLog();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "at+csca?"), commands.end())
        << "the initialisation must have reached the SMS centre query";
    EXPECT_EQ(deliveries(), before) << "the check must not change a delivery row";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(FDir.Path()))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"QuorvexSMS.ini", "modem"}))
        << "the check must write no log and no lock into the service directory";
}

// The database parameters are judged as the service judges them at its start.
TEST_F(CheckDatabaseTest, JudgesTheDatabaseParametersAsTheServiceDoes) {
    struct TCase {
        const char* Sql;
        const char* Title;
        std::string Result;
        int32_t Failures;
    };
    const TCase cases[] = {
        {"UPDATE appconfig SET val = '10.3' WHERE propid = 'DBVER'", "Версия базы данных (DBVER)",
         "  ОК", 0},
        {"UPDATE appconfig SET val = '1.99' WHERE propid = 'DBVER'", "Версия базы данных (DBVER)",
         "  ОШИБКА: Версия базы данных должна быть не ниже 2.00", 1},
        {"UPDATE appconfig SET val = '2' WHERE propid = 'DBVER'", "Версия базы данных (DBVER)",
         "  ОШИБКА: Версия базы данных должна быть не ниже 2.00", 1},
        {"DELETE FROM appconfig WHERE propid = 'DBVER'", "Версия базы данных (DBVER)",
         "  ОШИБКА: Отсутствует информация о версии базы данных", 1},
        {"UPDATE appconfig SET val = '48' WHERE propid = 'SMSOLDHOURS'",
         "Неотправленные SMS за последние 48 ч", "  ОК: ожидают отправки: 0", 0},
        {"UPDATE appconfig SET val = 'abc' WHERE propid = 'SMSOLDHOURS'",
         "Срок жизни сообщений (SMSOLDHOURS)",
         "  ВНИМАНИЕ: значение \"abc\" не целое число, служба возьмёт 24 ч", 0},
        {"UPDATE appconfig SET val = '0' WHERE propid = 'SMSOLDHOURS'",
         "Срок жизни сообщений (SMSOLDHOURS)",
         "  ВНИМАНИЕ: 0 ч: служба не отправит ни одного сообщения", 0},
        {"DELETE FROM appconfig WHERE propid = 'SMSOLDHOURS'", "Срок жизни сообщений (SMSOLDHOURS)",
         "  ОК: строки нет, служба возьмёт 24 ч", 0},
        {"UPDATE appconfig SET val = '-1' WHERE propid = 'SMSTRANSLITERATE'",
         "Транслитерация (SMSTRANSLITERATE)", "  ОК: -1: транслитерация включена", 0},
        {"UPDATE appconfig SET val = 'yes' WHERE propid = 'SMSTRANSLITERATE'",
         "Транслитерация (SMSTRANSLITERATE)",
         "  ВНИМАНИЕ: значение \"yes\" не целое число: транслитерация выключена", 0},
        {"DELETE FROM appconfig WHERE propid = 'SMSTRANSLITERATE'",
         "Транслитерация (SMSTRANSLITERATE)", "  ОК: строки нет, транслитерация выключена", 0},
        {"DROP TABLE msgdelivery", "Неотправленные SMS за последние 24 ч",
         "  ОШИБКА: ERROR: relation \"msgdelivery\" does not exist",
         2}, // and the right to stamp it cannot be asked
    };
    WriteIni();
    for (const TCase& c : cases) {
        // Each case starts from the schema's rows.
        FDb->Exec("DELETE FROM appconfig; INSERT INTO appconfig VALUES ('DBVER', '2.00'), "
                  "('SMSOLDHOURS', '24'), ('SMSTRANSLITERATE', '0')");
        FDb->Exec(c.Sql);
        TReport report;
        TServiceCheck check(FDir.Path(), Collect(report));
        check.CheckSettings();
        ASSERT_EQ(check.Failures(), 0) << "the settings must pass:" << report.Text();
        check.CheckDatabase();
        EXPECT_EQ(report.ResultOf(c.Title).rfind(c.Result, 0), 0u)
            << "after " << c.Sql << " expected " << Cp1251ToUtf8(c.Result) << ":" << report.Text();
        EXPECT_EQ(check.Failures(), c.Failures) << "after " << c.Sql << ":" << report.Text();
    }
}

TEST_F(CheckDatabaseTest, WrongPasswordFailsWithTheServersMessageAndThePortIsStillChecked) {
    test::TPgServer server = FDb->Server();
    const std::string section = FDb->IniSection();
    const std::string password = "Password=" + server.Password;
    std::string wrong = section;
    const size_t at = wrong.find(password);
    ASSERT_NE(at, std::string::npos) << "the INI section must carry the password: " << section;
    wrong.replace(at, password.size(), "Password=wrong-" + server.Password);
    WriteIni(wrong, FSim.LinkPath());
    const TReport report = RunCheck(false);
    const std::string result = report.ResultOf("Подключение к базе данных");
    EXPECT_EQ(result.rfind("  ОШИБКА: ", 0), 0u) << report.Text();
    EXPECT_NE(result.find("password authentication failed for user \"" + server.User + "\""),
              std::string::npos)
        << "the server's own message must be shown:" << report.Text();
    EXPECT_EQ(result.find("wrong-"), std::string::npos) << "the password must not be shown";
    EXPECT_EQ(report.After(result).rfind("  подсказка: принимает ли PostgreSQL подключения", 0), 0u)
        << report.Text();
    EXPECT_EQ(report.ResultOf("Инициализация GSM терминала"), "  ОК")
        << "the port must be checked after a database failure:" << report.Text();
    EXPECT_TRUE(report.Has("Итог: проверка НЕ пройдена, ошибок: 1")) << report.Text();
}

TEST_F(CheckDatabaseTest, ThePinIsNeverPrinted) {
    FSim.SetPin("4711");
    FDir.Write("QuorvexSMS.ini",
               FDb->IniSection() + TerminalSection(FSim.LinkPath()) + "PIN=4711\r\n");
    const TReport report = RunCheck(true);
    EXPECT_FALSE(report.Contains("4711")) << "the PIN must be hidden:" << report.Text();
    EXPECT_TRUE(report.Contains("| PIN код \"****\" принят"))
        << "the terminal's PIN lines are shown with the PIN hidden:" << report.Text();
}

// A check sends a PIN as a fresh start of the service would, by the records of the state
// file: a refused PIN once, and no PIN once two attempts are counted on the SIM, so that checks
// run one after another never lock it; the report says why the terminal waits, and a SIM
// locked by wrong PINs (the records lost) gets no PIN at all.
TEST_F(CheckDatabaseTest, RefusedPinAndLockedSimAreNamed) {
    const std::string failed = "  ОШИБКА: PIN код НЕ принят [код=12]: ";
    const std::string refused = failed + "SIM карта отвергла PIN код, служба не пошлёт его "
                                         "повторно; задайте верный PIN код (после трёх "
                                         "неверных SIM карта потребует PUK код)";
    const std::string spent = failed + "на этой SIM карте уже две попытки PIN кода, служба не "
                                       "пошлёт его, чтобы SIM карта не заблокировалась; введите "
                                       "PIN код вручную";
    const std::string locked =
        failed + "SIM карта заблокирована и требует PUK код оператора; PIN код не посылается";
    const struct {
        const char* Pin;
        const std::string& Result;
        int32_t PinsSent;
        bool RecordsLost;
    } runs[] = {{"9999", refused, 1, false}, {"9999", refused, 1, false},
                {"9998", refused, 2, false}, {"9997", spent, 2, false},
                {"9997", refused, 3, true},  {"9996", locked, 3, false}};
    FSim.SetPin("1234");
    for (const auto& run : runs) {
        if (run.RecordsLost)
            ::unlink(FDir.File("QuorvexSMS.state").c_str());
        FDir.Write("QuorvexSMS.ini", FDb->IniSection() + TerminalSection(FSim.LinkPath()) +
                                         "PIN=" + run.Pin + "\r\n");
        const TReport report = RunCheck(false);
        EXPECT_EQ(report.ResultOf("Инициализация GSM терминала"), run.Result) << report.Text();
        EXPECT_EQ(FSim.CommandCount("at+cpin"), run.PinsSent) << run.Pin << report.Text();
    }
    // A hash may hold four digits in a row; a field of the file must never be a PIN.
    std::istringstream fields(FDir.Read("QuorvexSMS.state"));
    for (std::string field; fields >> field;)
        EXPECT_TRUE(field.size() != 4 || field.rfind("999", 0) != 0)
            << "no PIN in clear text: " << FDir.Read("QuorvexSMS.state");
}

// A user that may read but not stamp or prepare answers would fail only at the first message;
// the check names what it lacks.
TEST_F(CheckDatabaseTest, MissingPrivilegesAreNamed) {
    const std::string role = FDb->Name() + "_reader";
    FDb->Exec("CREATE ROLE " + role +
              " LOGIN PASSWORD 'reader'; GRANT SELECT ON ALL TABLES IN "
              "SCHEMA public TO " +
              role +
              "; REVOKE EXECUTE ON FUNCTION prepare_acc_info(text) "
              "FROM PUBLIC");
    std::string section = FDb->IniSection();
    section.replace(section.find("UserName=" + FDb->Server().User),
                    ("UserName=" + FDb->Server().User).size(), "UserName=" + role);
    section.replace(section.find("Password=" + FDb->Server().Password),
                    ("Password=" + FDb->Server().Password).size(), "Password=reader");
    WriteIni(section, FSim.LinkPath());
    const TReport report = RunCheck(false);
    FDb->Exec("DROP OWNED BY " + role + "; DROP ROLE " + role);
    EXPECT_EQ(report.ResultOf("Права пользователя (UPDATE msgdelivery, EXECUTE prepare_acc_info)"),
              "  ОШИБКА: у пользователя " + role +
                  " нет прав: UPDATE msgdelivery, EXECUTE prepare_acc_info")
        << report.Text();

    WriteIni();
    EXPECT_EQ(RunCheck(true).ResultOf(
                  "Права пользователя (UPDATE msgdelivery, EXECUTE prepare_acc_info)"),
              "  ОК")
        << "the owner has every right";
}

TEST_F(CheckDatabaseTest, MissingDeviceFailsWithThePortsMessage) {
    WriteIni(FDb->IniSection(), FDir.File("no-such-modem"));
    const TReport report = RunCheck(false);
    EXPECT_EQ(report.ResultOf("Открытие порта GSM терминала"),
              "  ОШИБКА: Указанный порт отствует в системе [2]")
        << report.Text();
    EXPECT_EQ(report.After("  ОШИБКА: Указанный порт отствует в системе [2]"),
              HintLine(PortHint(ComNoSuchPort)))
        << report.Text();
    EXPECT_EQ(report.ResultOf("Версия базы данных (DBVER)"), "  ОК")
        << "the database must pass on its own:" << report.Text();
    EXPECT_FALSE(report.Contains("Инициализация GSM терминала"))
        << "no initialisation without an open port:" << report.Text();
}

// Every terminal is opened and initialised in turn, each result naming its terminal; one
// without its device fails alone.
TEST_F(CheckDatabaseTest, ChecksEveryTerminalAndNamesItInItsLines) {
    FDir.Write("QuorvexSMS.ini", FDb->IniSection() + TerminalSection(FSim.LinkPath()) +
                                     "Name=main\r\n[GSMTerminal2]\r\nName=spare\r\nDevice=" +
                                     FDir.File("no-such-modem") + "\r\nDailyLimit=50\r\n");
    const TReport report = RunCheck(false);
    EXPECT_EQ(report.ResultOf("GSM терминалы: 2"), "  ОК") << report.Text();
    EXPECT_EQ(report.ResultOf("Открытие порта GSM терминала [main]"), "  ОК [main]")
        << report.Text();
    EXPECT_EQ(report.ResultOf("Инициализация GSM терминала [main]"), "  ОК [main]")
        << report.Text();
    const std::string missing = "  ОШИБКА: Указанный порт отствует в системе [2] [spare]";
    EXPECT_EQ(report.ResultOf("Открытие порта GSM терминала [spare]"), missing) << report.Text();
    EXPECT_EQ(report.After(missing), HintLine(PortHint(ComNoSuchPort))) << report.Text();
    EXPECT_FALSE(report.Contains("Инициализация GSM терминала [spare]"))
        << "no initialisation without an open port:" << report.Text();
    EXPECT_TRUE(report.Has("Итог: проверка НЕ пройдена, ошибок: 1")) << report.Text();
    const std::vector<std::string> steps = report.Starting("Открытие порта");
    EXPECT_EQ(steps, (std::vector<std::string>{"Открытие порта GSM терминала [main]...",
                                               "Открытие порта GSM терминала [spare]..."}))
        << "terminal 1 first, each once:" << report.Text();
}

TEST_F(CheckDatabaseTest, RunningServiceKeepsItsPort) {
    WriteIni();
    TControlServer service;
    ASSERT_TRUE(service.Open(FDir.Path())) << Cp1251ToUtf8(service.FLastError);
    TReport report;
    TServiceCheck check(FDir.Path(), Collect(report));
    EXPECT_TRUE(check.Run()) << "settings and database pass:" << report.Text();
    EXPECT_TRUE(check.TerminalSkipped()) << report.Text();
    EXPECT_EQ(report.ResultOf("Открытие порта GSM терминала"),
              "  пропущено: служба для каталога " + FDir.Path() +
                  " запущена и занимает порт; чтобы проверить порт и терминал, остановите её")
        << report.Text();
    EXPECT_EQ(report.ResultOf("Версия базы данных (DBVER)"), "  ОК") << report.Text();
    EXPECT_TRUE(FSim.CommandLog().empty()) << "the check must not talk to a service's terminal";
    TControlServer second;
    EXPECT_FALSE(second.Open(FDir.Path())) << "the service must still hold its lock";
}

// The program itself: UTF-8 on stdout and the exit codes.
TEST_F(CheckDatabaseTest, ProgramPrintsUtf8AndExitsWithTheVerdict) {
    ASSERT_EQ(access(ServiceBinary, X_OK), 0)
        << "the program " << ServiceBinary << " is missing: build the quorvexsms target";
    const std::string out = FDir.File("out.txt");
    WriteIni();
    EXPECT_EQ(RunProgram({"--dir", FDir.Path(), "--check"}, out), 0)
        << "a good directory must pass: " << ReadWhole(out);
    EXPECT_NE(ReadWhole(out).find(U8(u8"Итог: проверка пройдена")), std::string::npos)
        << "the verdict must be printed in UTF-8: " << ReadWhole(out);

    WriteIni(FDb->IniSection(), FDir.File("no-such-modem"));
    EXPECT_EQ(RunProgram({"--dir", FDir.Path(), "--check"}, out), 1)
        << "a missing port must fail: " << ReadWhole(out);
    EXPECT_NE(ReadWhole(out).find(U8(u8"Указанный порт отствует в системе")), std::string::npos)
        << "the port's message must be printed in UTF-8: " << ReadWhole(out);

    EXPECT_EQ(RunProgram({"--dir", FDir.Path(), "--check", "--control", "128"}, out), 2)
        << "--check with --control is a usage error";
}

} // namespace
} // namespace qvx
