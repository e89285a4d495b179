// The status on its way from the service to the operator: the line on the control channel,
// the Russian lines, the JSON object (read back by a real JSON parser) and the short line.
#include "service/StatusReport.h"

#include "infra/Codepage.h"
#include "service/ControlChannel.h"
#include "service/StatusWire.h"
#include "support/Text.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using test::U8;

// Every field differs, so that a field carried into the wrong place shows.
TWorkerStatus Busy() {
    TWorkerStatus status;
    status.Now = 1'800'000'000;
    status.StartedAt = status.Now - 3600;
    status.StartResult = 1;
    status.TerminalState = 3;
    status.TerminalSince = status.Now - 600;
    status.Registration = 5;
    status.SignalRssi = 20;
    status.NetworkCheckedAt = status.Now - 30;
    status.OutgoingCount = 2;
    status.OldestQueuedAt = status.Now - 150;
    status.AcknowledgedCount = 11;
    status.GivenUpCount = 12;
    status.ReceivedCount = 13;
    status.RequestsAnswered = 14;
    status.LastAcknowledgedAt = status.Now - 60;
    status.LastReceivedAt = status.Now - 70;
    status.KeptUnstamped = 15;
    status.KeptGivenUp = 16;
    status.KeptUndeletable = 17;
    status.KeptRefusedPins = 18;
    status.DatabaseState = 0;
    status.DatabaseErrorAt = status.Now - 80;
    // A tab, line ends, a backslash, quotes, a control byte, cp1251 letters and 0x98.
    status.DatabaseError = "нет\tсвязи\r\n\\ \"x\" \x01 \x98 Ёё";
    return status;
}

// Two terminals whose every field differs from the other's and from terminal 1's.
TWorkerStatus WithTerminals() {
    TWorkerStatus status = Busy();
    status.Terminals = {
        {"1", "/dev/ttyUSB0", 3, 1, 25, 2, 40, 0, 0},
        {"spare-2", "/dev/serial/by-id/usb-Modem\t2", 2, 5, 99, 1, 500, 500, status.Now + 120},
    };
    return status;
}

TEST(StatusReportTest, TheLineCarriesEveryFieldAndNoLineBreak) {
    TWorkerStatus status = Busy();
    status.PinWait = 2;
    const std::string line = EncodeStatus(status);
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line with its line feed";
    EXPECT_EQ(DecodeStatus(line.substr(0, line.size() - 1)), status)
        << "the status must arrive as it was sent: " << line;

    TWorkerStatus longError;
    longError.DatabaseError = std::string(5000, '\\');
    const std::string longLine = EncodeStatus(longError);
    EXPECT_LE(longLine.size(), StatusReplyMax) << "a long text must be cut to fit the channel";
    const auto cut = DecodeStatus(longLine.substr(0, longLine.size() - 1));
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->DatabaseError, std::string(StatusTextMax, '\\'));
}

TEST(StatusReportTest, TheLineCarriesTheTerminalsWithinItsBounds) {
    const TWorkerStatus status = WithTerminals();
    const std::string line = EncodeStatus(status);
    EXPECT_EQ(DecodeStatus(line.substr(0, line.size() - 1)), status)
        << "the terminals must arrive as they were sent: " << line;

    // Every field at its longest: the line still fits the channel, and the texts are cut.
    TWorkerStatus longest;
    longest.DatabaseError = std::string(5000, '\\');
    const TTerminalStatus terminal{std::string(100, '\\'),
                                   std::string(500, '\\'),
                                   INT64_MIN,
                                   INT64_MIN,
                                   INT64_MIN,
                                   INT64_MIN,
                                   INT64_MIN,
                                   INT64_MIN,
                                   INT64_MIN};
    longest.Terminals.assign(StatusTerminalsMax + 1, terminal);
    longest.OtherHosts.assign(StatusHostsMax + 1, {std::string(100, '\\'), INT64_MAX});
    longest.Claims = INT64_MIN;
    const std::string longLine = EncodeStatus(longest);
    EXPECT_LE(longLine.size(), StatusReplyMax) << "sixteen terminals and hosts must fit";
    const auto cut = DecodeStatus(longLine.substr(0, longLine.size() - 1));
    ASSERT_TRUE(cut.has_value()) << "the longest line must be read back";
    ASSERT_EQ(cut->Terminals.size(), StatusTerminalsMax) << "more terminals are not sent";
    EXPECT_EQ(cut->Terminals[15].Name, std::string(StatusNameMax, '\\'));
    EXPECT_EQ(cut->Terminals[15].Device, std::string(StatusDeviceMax, '\\'));
    EXPECT_EQ(cut->Terminals[15].SuspendedUntil, INT64_MIN);
    ASSERT_EQ(cut->OtherHosts.size(), StatusHostsMax) << "more hosts are not sent";
    EXPECT_EQ(cut->OtherHosts[15],
              (THostStatus{std::string(StatusHostNameMax, '\\'), StatusClaimsMax}))
        << "a long host name is cut and its count kept within what is read back";
    EXPECT_EQ(cut->Claims, 0) << "a count below its bounds is sent as the lowest one";

    std::string many = "status";
    for (size_t i = 0; i <= StatusTerminalsMax; ++i)
        many += "\tterm=t" + std::to_string(i);
    EXPECT_FALSE(DecodeStatus(many).has_value()) << "a 17th terminal makes the line malformed";
    many.resize(many.rfind('\t'));
    EXPECT_TRUE(DecodeStatus(many).has_value()) << "sixteen terminals are fine";
    const auto longName = DecodeStatus("status\tterm=" + std::string(200, 'n') +
                                       "\tterm_device=" + std::string(200, 'd'));
    ASSERT_TRUE(longName.has_value());
    EXPECT_EQ(longName->Terminals.at(0).Name.size(), StatusNameMax) << "a long name is cut";
    EXPECT_EQ(longName->Terminals.at(0).Device.size(), StatusDeviceMax) << "a long device is cut";
}

TEST(StatusReportTest, RefusesLinesThatAreNoStatus) {
    struct TCase {
        std::string Line;
        bool Valid;
        const char* Note;
    };
    const TCase cases[] = {
        {"status", true, "no fields: all defaults"},
        {"status\tfuture_field=whatever", true, "an unknown field of a newer service"},
        {"status\toutgoing=-3", true, "a negative number"},
        {"", false, "empty"},
        {"statu", false, "cut short"},
        {"statusX\tnow=1", false, "another word"},
        {"handled", false, "the answer to a code"},
        {"status\tnow=1x", false, "not a number"},
        {"status\tnow=99999999999999999999", false, "a number too large"},
        {"status\tnow", false, "a field without a value"},
        {"status\tdatabase_error=a\\qb", false, "an unknown escape"},
        {"status\tdatabase_error=a\\", false, "an escape cut off"},
        {"status\tterm=a\tterm_state=3\tterm_future=x", true, "an unknown terminal field"},
        {"status\tterm=\tterm=", true, "terminals without names"},
        {"status\tterm_state=3\tterm=a", false, "a terminal's field before its name"},
        {"status\tterm=a\tterm_in_flight=two", false, "a terminal's number that is none"},
        {"status\tterm=a\\q", false, "an unknown escape in a name"},
        {"status\tterm=a\tterm_device=\\", false, "an escape cut off in a device"},
        {"status\tclaims=-1", false, "a negative claim count"},
        {"status\tclaims=2147483648", false, "a claim count too large"},
        {"status\tclaim_grace_until=-5", false, "a grace before 1970"},
        {"status\tclaim_grace_until=253402300800", false, "a grace after the year 9999"},
        {"status\thost_claims=1\thost=a", false, "a host's field before its name"},
        {"status\thost=a\thost_claims=-1", false, "a host's negative count"},
        {"status\thost=a\thost_future=x", true, "an unknown host field"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(DecodeStatus(c.Line).has_value(), c.Valid) << c.Note;
}

TEST(StatusReportTest, JsonIsReadByARealParser) {
    const TWorkerStatus status = Busy();
    const TLogErrors logs{"07.12.2026 12:00:00  Ошибка: \"кавычки\" и \\ <cr><lf>", ""};
    const auto values = test::QueryJson(
        StatusJson(status, logs),
        {"d['database']['last_error']", "d['logs']['service_last_error']",
         "d['logs']['terminal_last_error']", "d['network']['name']", "d['network']['signal_dbm']",
         "d['queue']['oldest_age_sec']", "d['counts']['given_up']", "d['terminal']['name']",
         "d['last_received_at']", "d['service']['state']", "d['database']['state']",
         "d['state_file']['unstamped']", "d['state_file']['given_up']",
         "d['state_file']['undeletable']", "d['state_file']['refused_pins']"});
    ASSERT_TRUE(values.has_value()) << "not valid JSON: " << StatusJson(status, logs);
    const std::vector<std::string> expected = {
        Cp1251ToUtf8(status.DatabaseError),
        Cp1251ToUtf8(logs.Service),
        "null",
        "roaming",
        "-73",
        "150",
        "12",
        "working",
        "2027-01-15T07:58:50Z",
        "working",
        "unreachable",
        "15",
        "16",
        "17",
        "18",
    };
    EXPECT_EQ(*values, expected);

    const auto empty =
        test::QueryJson(StatusJson(TWorkerStatus{}, {}),
                        {"d['network']['signal_dbm']", "d['queue']['oldest_age_sec']",
                         "d['last_acknowledged_at']", "d['service']['state']"});
    ASSERT_TRUE(empty.has_value()) << StatusJson(TWorkerStatus{}, {});
    EXPECT_EQ(*empty, (std::vector<std::string>{"null", "null", "null", "starting"}))
        << "what is not known yet must be null";
}

TEST(StatusReportTest, LinesAndShortLineNameTheStates) {
    const test::TZoneGuard zone("UTC0");
    const TWorkerStatus status = Busy();
    const std::vector<std::string> lines = StatusLines(status, {});
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[1], "Терминал: работает с 15.01.2027 07:50:00");
    EXPECT_EQ(lines[2], "Сеть: роуминг, сигнал -73 дБм, проверено 15.01.2027 07:59:30");
    EXPECT_EQ(lines[3], "Очередь на отправку: 2, самое старое ждёт 2 мин");
    EXPECT_EQ(lines[7], "Файл состояния: не отмечено в базе данных 15, отброшено в последний час "
                        "16, неудаляемых SMS на SIM карте 17, отвергнутых PIN кодов 18");
    EXPECT_EQ(StatusShort(status), "Служба: работает; терминал: работает; сеть: роуминг, сигнал "
                                   "-73 дБм; к отправке: 2; подтверждено: 11; принято: 13; база "
                                   "данных: недоступна");

    TWorkerStatus waiting;
    waiting.TerminalState = 2;
    waiting.PinWait = 1;
    EXPECT_EQ(StatusLines(waiting, {})[1].rfind("Терминал: инициализация с ", 0), 0u);
    EXPECT_TRUE(StatusLines(waiting, {})[1].ends_with(
        " (PIN код отвергнут SIM картой, ждёт другой PIN код)"))
        << "the status says why the terminal waits";
    waiting.PinWait = 2;
    EXPECT_EQ(StatusShort(waiting).rfind("Служба: запускается; терминал: инициализация (SIM карта "
                                         "требует PUK код);",
                                         0),
              0u)
        << StatusShort(waiting);
    const auto pinWait = test::QueryJson(StatusJson(waiting, {}), {"d['terminal']['pin_wait']"});
    ASSERT_TRUE(pinWait.has_value());
    EXPECT_EQ(*pinWait, std::vector<std::string>{"puk_required"});

    const std::vector<std::string> idle = StatusLines(TWorkerStatus{}, {});
    EXPECT_EQ(idle[2], "Сеть: нет сведений") << "no signal before the first answer";
    EXPECT_EQ(idle[3], "Очередь на отправку: 0") << "no age without a queue";
}

TEST(StatusReportTest, SeveralTerminalsAreShownEach) {
    const test::TZoneGuard zone("UTC0");
    const TWorkerStatus status = WithTerminals();
    const TLogErrors logs{"", "t1 error", {"t1 error", "01.01.2027 00:00:00  Ошибка порта"}};
    const std::vector<std::string> lines = StatusLines(status, logs);
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[11], "Последняя ошибка в журнале терминала: t1 error")
        << "terminal 1's lines stay as they are";
    EXPECT_EQ(lines[12], "Терминал 1 (/dev/ttyUSB0): работает, сеть: домашняя сеть, сигнал -63 "
                         "дБм, в работе 2, отправлено сегодня 40");
    EXPECT_EQ(lines[13], "Терминал spare-2 (/dev/serial/by-id/usb-Modem\t2): инициализация, "
                         "сеть: роуминг, сигнал неизвестен, в работе 1, отправлено сегодня 500 "
                         "из 500, приостановлен до 15.01.2027 08:02:00");
    EXPECT_EQ(lines[14], "  последняя ошибка в журнале Siemens-spare-2.log: 01.01.2027 00:00:00  "
                         "Ошибка порта");
    EXPECT_NE(StatusShort(status).find("; терминал: работает; терминалов работает: 1 из 2;"),
              std::string::npos)
        << StatusShort(status);

    TWorkerStatus one = Busy();
    one.Terminals = {status.Terminals[0]};
    EXPECT_EQ(StatusLines(one, {}), StatusLines(Busy(), {})) << "one terminal: lines as before";
    EXPECT_EQ(StatusShort(one), StatusShort(Busy())) << "one terminal: short line as before";

    const auto values = test::QueryJson(
        StatusJson(status, logs),
        {"len(d['terminals'])", "d['terminals'][0]['name']", "d['terminals'][0]['suspended_until']",
         "d['terminals'][1]['device']", "d['terminals'][1]['state_name']",
         "d['terminals'][1]['registration_name']", "d['terminals'][1]['signal_dbm']",
         "d['terminals'][1]['in_flight']", "d['terminals'][1]['sent_today']",
         "d['terminals'][1]['daily_limit']", "d['terminals'][1]['suspended_until']",
         "d['terminals'][1]['log_last_error']", "d['terminal']['name']"});
    ASSERT_TRUE(values.has_value()) << "not valid JSON: " << StatusJson(status, logs);
    EXPECT_EQ(*values, (std::vector<std::string>{"2", "1", "null", "/dev/serial/by-id/usb-Modem\t2",
                                                 "initializing", "roaming", "null", "1", "500",
                                                 "500", "2027-01-15T08:02:00Z",
                                                 Cp1251ToUtf8(logs.Terminals[1]), "working"}));

    struct TCase {
        std::string Name;
        size_t Index;
        std::string Log;
    };
    const TCase names[] = {{"x", 0, "Siemens.log"},
                           {"spare-2", 1, "Siemens-spare-2.log"},
                           {"../etc/x", 1, ""},
                           {"a/b", 1, ""},
                           {"", 1, ""},
                           {"b", 2, ""}};
    for (const TCase& c : names) {
        TWorkerStatus named;
        named.Terminals.resize(2);
        named.Terminals[1].Name = c.Name;
        EXPECT_EQ(TerminalLogName(named, c.Index), c.Log) << "name " << c.Name;
    }
}

TEST(StatusReportTest, ClaimsAndOtherHostsAreShownAndCarried) {
    const test::TZoneGuard zone("UTC0");
    TWorkerStatus status = WithTerminals();
    status.Claims = 3;
    status.ClaimGraceUntil = status.Now + 45;
    status.OtherHosts = {{"quorvexsms@b\tx", 2}, {"quorvexsms@сервер", 0}};
    const std::string line = EncodeStatus(status);
    EXPECT_EQ(DecodeStatus(line.substr(0, line.size() - 1)), status)
        << "the claims and hosts must arrive as they were sent: " << line;

    const std::vector<std::string> lines = StatusLines(status, {});
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[14], "Захвачено сообщений: 3, новые захватываются с 15.01.2027 08:00:45");
    EXPECT_EQ(lines[15], "Другие службы на этой базе данных: quorvexsms@b\tx (захвачено 2), "
                         "quorvexsms@сервер (захвачено 0)");
    EXPECT_EQ(StatusLines(Busy(), {}).back(), "Захвачено сообщений: 0")
        << "no grace and no other hosts: one line";

    const std::vector<std::string> keys = {"d['claims']['held']", "d['claims']['grace_until']",
                                           "len(d['hosts'])", "d['hosts'][1]['name']",
                                           "d['hosts'][0]['claims']"};
    const auto values = test::QueryJson(StatusJson(status, {}), keys);
    ASSERT_TRUE(values.has_value()) << "not valid JSON: " << StatusJson(status, {});
    EXPECT_EQ(*values, (std::vector<std::string>{"3", "2027-01-15T08:00:45Z", "2",
                                                 U8(u8"quorvexsms@сервер"), "2"}));
    const auto none = test::QueryJson(StatusJson(Busy(), {}), {keys[1], keys[2]});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(*none, (std::vector<std::string>{"null", "0"})) << "no grace, no hosts";

    std::string many = "status";
    for (size_t i = 0; i <= StatusHostsMax; ++i)
        many += "\thost=h" + std::to_string(i) + "\thost_claims=1";
    EXPECT_FALSE(DecodeStatus(many).has_value()) << "a 17th host makes the line malformed";
}

} // namespace
} // namespace qvx
