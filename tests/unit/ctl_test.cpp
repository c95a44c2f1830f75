// phpkeeperctl's arguments, its status table and JSON, and the judgements the rolling restart
// rests on.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ctl/cli.h"
#include "ctl/view.h"

namespace {

using ctl::Action;

TEST(CtlArguments, VerbsAndOptions) {
    struct Case {
        std::vector<std::string> args;
        Action action;
        bool json;
        std::string version;
        bool workers;
        std::string error;
    };
    const Case cases[] = {
        {{}, Action::help, false, "", false, ""},
        {{"--help"}, Action::help, false, "", false, ""},
        {{"/?"}, Action::help, false, "", false, ""},
        {{"help"}, Action::help, false, "", false, ""},
        {{"status"}, Action::status, false, "", false, ""},
        {{"status", "--json"}, Action::status, true, "", false, ""},
        {{"status", "-h"}, Action::help, false, "", false, ""},
        {{"restart"}, Action::restart, false, "", false, ""},
        {{"restart", "php-8.3"}, Action::restart, false, "php-8.3", false, ""},
        {{"stop"}, Action::stop, false, "", false, ""},
        {{"stop", "--workers"}, Action::stop, false, "", true, ""},
        {{"stat"}, Action::help, false, "", false, "unknown command 'stat'"},
        {{"status", "--yaml"}, Action::help, false, "", false, "status: unknown option '--yaml'"},
        {{"restart", "--all"}, Action::help, false, "", false, "restart: unknown option '--all'"},
        {{"restart", "a", "b"},
         Action::help,
         false,
         "",
         false,
         "restart: takes at most one version folder name"},
        {{"stop", "/?x"}, Action::help, false, "", false, "stop: unknown option '/?x'"},
    };
    for (const Case& c : cases) {
        const ctl::Command command = ctl::parseCtlArguments(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(command.action, c.action) << shown;
        EXPECT_EQ(command.json, c.json) << shown;
        EXPECT_EQ(command.version, c.version) << shown;
        EXPECT_EQ(command.workers, c.workers) << shown;
        EXPECT_EQ(command.error, c.error) << shown;
    }
}

// A control panel may call phpkeeper-stop.exe with anything; only a clean call stops.
TEST(StopArguments, OnlyACleanCallStops) {
    struct Case {
        std::vector<std::string> args;
        Action action;
        bool workers;
        std::string error;
    };
    const Case cases[] = {
        {{}, Action::stop, false, ""},
        {{"--workers"}, Action::stop, true, ""},
        {{"/?"}, Action::help, false, ""},
        {{"--help"}, Action::help, false, ""},
        {{"/force"}, Action::help, false, "unknown option '/force'"},
        {{"stop"}, Action::help, false, "unknown option 'stop'"},
    };
    for (const Case& c : cases) {
        const ctl::Command command = ctl::parseStopArguments(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(command.action, c.action) << shown;
        EXPECT_EQ(command.workers, c.workers) << shown;
        EXPECT_EQ(command.error, c.error) << shown;
    }
}

control::SlotStatus slot(int number, control::SlotState state, std::uint32_t processId) {
    control::SlotStatus status;
    status.slot = number;
    status.version = "php-8.3";
    status.port = 9000;
    status.processId = processId;
    status.state = state;
    status.exePath = "C:\\Lanterra\\php\\php-8.3\\php-cgi.exe";
    return status;
}

ctl::SupervisorStatus samplePool() {
    control::StatusReport report;
    report.folder = "C:\\Lanterra";
    report.uptimeMs = 7380000;
    report.settings = {"C:\\Lanterra\\Lanterra.ini", true, "C:\\Lanterra", "php-8.3", "3", 3, ""};
    report.pools = {{"php-8.3", 9000, "C:\\Lanterra\\php\\php-8.3\\php-cgi.exe"}};
    control::SlotStatus running = slot(1, control::SlotState::running, 5120);
    running.uptimeMs = 7379000;
    running.starts = 1;
    control::SlotStatus recycled = slot(2, control::SlotState::running, 6100);
    recycled.uptimeMs = 12000;
    recycled.starts = 2;
    recycled.lastExitCode = 0;
    control::SlotStatus failing = slot(3, control::SlotState::failing, 0);
    failing.starts = 7;
    failing.lastExitCode = 0xC0000135;
    failing.nextTryMs = 6200;
    control::SlotStatus notStarted = slot(4, control::SlotState::notStarted, 0);
    notStarted.nextTryMs = 6200;
    notStarted.exePath = "C:\\Lanterra\\php\\php-9\\php-cgi.exe";
    report.slots = {running, recycled, failing, notStarted};
    return {4812, report};
}

TEST(StatusTable, OneAlignedLinePerSlotUnderTheSettingsAsRead) {
    EXPECT_EQ(ctl::statusTable({samplePool()}),
              "phpkeeper (process 4812) in C:\\Lanterra, up 2h 03m\n"
              "  Lanterra.ini  C:\\Lanterra\\Lanterra.ini\n"
              "  path          C:\\Lanterra\n"
              "  phpver        php-8.3\n"
              "  phpnum        3 (3 workers per version)\n"
              "  phpvers       (empty)\n"
              "  pool          php-8.3 on port 9000: C:\\Lanterra\\php\\php-8.3\\php-cgi.exe\n"
              "\n"
              "  SLOT  VERSION  PORT  PID   STATE        UPTIME  STARTS  LAST EXIT\n"
              "  1     php-8.3  9000  5120  running      2h 02m  1       -\n"
              "  2     php-8.3  9000  6100  running      12s     2       0x00000000 recycled\n"
              "  3     php-8.3  9000  -     failing      -       7       0xC0000135 DLL not found  "
              "failed to start; next try in 6s\n"
              "  4     php-8.3  9000  -     not started  -       0       -                         "
              "could not start C:\\Lanterra\\php\\php-9\\php-cgi.exe; next try in 6s\n");
}

TEST(StatusTable, MissingConfigurationAndAnEmptyPoolAreSaidPlainly) {
    ctl::SupervisorStatus empty = samplePool();
    empty.report.settings.fileFound = false;
    empty.report.settings.phpnum = "abc";
    empty.report.settings.workersPerVersion = 0;
    empty.report.slots.clear();
    const std::string table = ctl::statusTable({empty});
    EXPECT_NE(table.find("Lanterra.ini  C:\\Lanterra\\Lanterra.ini (not found: every setting has "
                         "its default)\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("phpnum        abc (0 workers per version)\n"), std::string::npos);
    EXPECT_NE(table.find("no worker slots: phpnum gives 0 workers\n"), std::string::npos);
    EXPECT_FALSE(ctl::healthy(empty.report)) << "a pool that serves nothing is not healthy";
}

TEST(StatusJson, SameFactsForScripts) {
    ctl::SupervisorStatus pool = samplePool();
    pool.report.settings.phpvers = "a \"quoted\"\\name\x01";
    const std::string json = ctl::statusJson({pool});
    for (const char* piece : {
             "\"version\": 1,\n  \"healthy\": false,",
             "\"pid\": 4812,",
             "\"folder\": \"C:\\\\Lanterra\",",
             "\"config\": {\"file\": \"C:\\\\Lanterra\\\\Lanterra.ini\", \"found\": true},",
             "\"phpnum\": \"3\", \"workersPerVersion\": 3, \"phpvers\": \"a \\\"quoted\\\"\\\\name"
             "\\u0001\"},",
             "{\"version\": \"php-8.3\", \"port\": 9000, \"exe\": "
             "\"C:\\\\Lanterra\\\\php\\\\php-8.3\\\\php-cgi.exe\"}",
             "{\"slot\": 1, \"version\": \"php-8.3\", \"port\": 9000, \"pid\": 5120, \"state\": "
             "\"running\", \"uptimeMs\": 7379000, \"starts\": 1, \"lastExitCode\": null, "
             "\"lastExit\": null, \"endedOnRequest\": false, \"nextTryMs\": null,",
             "{\"slot\": 3, \"version\": \"php-8.3\", \"port\": 9000, \"pid\": null, \"state\": "
             "\"failing\", \"uptimeMs\": null, \"starts\": 7, \"lastExitCode\": 3221225781, "
             "\"lastExit\": \"0xC0000135 DLL not found\", \"endedOnRequest\": false, "
             "\"nextTryMs\": 6200,",
             "\"state\": \"not started\"",
         }) {
        EXPECT_NE(json.find(piece), std::string::npos) << "no " << piece << " in\n" << json;
    }
    EXPECT_EQ(ctl::statusJson({}),
              "{\n  \"version\": 1,\n  \"healthy\": false,\n"
              "  \"supervisors\": []\n}\n");
}

TEST(StatusWords, DurationsAndExitCodes) {
    const std::pair<std::uint64_t, std::string> durations[] = {
        {0, "0s"},           {59999, "59s"},        {60000, "1m 00s"},    {3599000, "59m 59s"},
        {3600000, "1h 00m"}, {86399000, "23h 59m"}, {90061000, "1d 01h"},
    };
    for (const auto& [ms, text] : durations) {
        EXPECT_EQ(ctl::duration(ms), text) << ms;
    }
    EXPECT_EQ(ctl::exitText(0, false), "0x00000000 recycled");
    EXPECT_EQ(ctl::exitText(0xC0000005, false), "0xC0000005 crashed: access violation");
    EXPECT_EQ(ctl::exitText(0xC0000135, false), "0xC0000135 DLL not found");
    EXPECT_EQ(ctl::exitText(255, false), "0x000000FF");
    EXPECT_EQ(ctl::exitText(1, true), "0x00000001 ended on request");
}

TEST(RollingRestart, SlotsOfOneVersionAndWhenASlotIsBack) {
    control::StatusReport report = samplePool().report;
    report.slots[1].version = "php-7.4";
    EXPECT_EQ(ctl::slotsToRestart(report, "").size(), 4u);
    const auto only = ctl::slotsToRestart(report, "php-7.4");
    ASSERT_EQ(only.size(), 1u);
    EXPECT_EQ(only[0].slot, 2);
    EXPECT_TRUE(ctl::slotsToRestart(report, "php-9").empty());

    control::SlotStatus before = slot(1, control::SlotState::running, 5120);
    before.starts = 4;
    struct Case {
        const char* name;
        control::SlotState state;
        std::uint32_t processId;
        std::uint64_t uptimeMs;
        std::uint32_t starts;
        std::optional<std::uint32_t> lastExitCode;
        bool back;
    };
    const Case cases[] = {
        {"old_worker_still_runs", control::SlotState::running, 5120, 60000, 4, {}, false},
        {"new_worker_may_yet_fail", control::SlotState::running, 6200, 300, 5, 1, false},
        {"new_worker_past_the_window", control::SlotState::running, 6200, 1000, 5, 1, true},
        {"new_worker_recycled_cleanly", control::SlotState::running, 6300, 200, 6, 0, true},
        {"new_worker_crashed_and_was_replaced", control::SlotState::running, 6300, 200, 6,
         0xC0000005, false},
        {"new_worker_failed", control::SlotState::failing, 0, 0, 5, 255, false},
        {"no_worker_could_start", control::SlotState::notStarted, 0, 0, 4, 1, false},
    };
    for (const Case& c : cases) {
        control::SlotStatus now = slot(1, c.state, c.processId);
        now.uptimeMs = c.uptimeMs;
        now.starts = c.starts;
        now.lastExitCode = c.lastExitCode;
        EXPECT_EQ(ctl::cameBack(now, before), c.back) << c.name;
    }
}

}  // namespace
