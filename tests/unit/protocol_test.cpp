// The control requests and replies, as both the supervisor and the tool read and write them.
#include <gtest/gtest.h>

#include <string>

#include "control/protocol.h"

namespace {

using control::Request;
using control::Verb;

TEST(ControlRequest, GoodRequestsAreReadAndWrittenAlike) {
    struct Case {
        std::string text;
        Request request;
    };
    const Case cases[] = {
        {"phpkeeper 1 status", {Verb::status, 0, 0}},
        {"phpkeeper 1 stop", {Verb::stop, 0, 0}},
        {"phpkeeper 1 end-worker 2 5120", {Verb::endWorker, 2, 5120}},
        {"phpkeeper 1 end-worker 2147483647 4294967295",
         {Verb::endWorker, 2147483647, 4294967295u}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto parsed = control::parseRequest(c.text, error);
        ASSERT_TRUE(parsed) << c.text << ": " << error;
        EXPECT_EQ(parsed->verb, c.request.verb) << c.text;
        EXPECT_EQ(parsed->slot, c.request.slot) << c.text;
        EXPECT_EQ(parsed->processId, c.request.processId) << c.text;
        EXPECT_EQ(control::formatRequest(c.request), c.text);
    }
}

TEST(ControlRequest, BadRequestsAreRefusedWithAReason) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "not a phpkeeper request"},
        {"status", "not a phpkeeper request"},
        {"PHPKEEPER 1 status", "not a phpkeeper request"},
        {std::string("\xFF\xFE\x00\x01", 4), "not a phpkeeper request"},
        {"phpkeeper", "a request needs a version and a verb"},
        {"phpkeeper 1", "a request needs a version and a verb"},
        {"phpkeeper 2 status",
         "request version '2' is not spoken here; this supervisor speaks "
         "version 1"},
        {"phpkeeper 01 status",
         "request version '01' is not spoken here; this supervisor "
         "speaks version 1"},
        {"phpkeeper 1 status now", "'status' takes no arguments"},
        {"phpkeeper 1 stop --workers", "'stop' takes no arguments"},
        {"phpkeeper 1  status", "unknown request ''"},
        {"phpkeeper 1 status\n", "unknown request 'status?'"},
        {std::string("phpkeeper 1 status\0", 19), "unknown request 'status?'"},
        {"phpkeeper 1 reboot", "unknown request 'reboot'"},
        {"phpkeeper 1 " + std::string(300, 'x'),
         "unknown request '" + std::string(32, 'x') + "...'"},
        {"phpkeeper 1 end-worker", "'end-worker' takes a slot number (from 1) and a process ID"},
        {"phpkeeper 1 end-worker 2", "'end-worker' takes a slot number (from 1) and a process ID"},
        {"phpkeeper 1 end-worker 0 5120",
         "'end-worker' takes a slot number (from 1) and a "
         "process ID"},
        {"phpkeeper 1 end-worker -1 5120",
         "'end-worker' takes a slot number (from 1) and a "
         "process ID"},
        {"phpkeeper 1 end-worker 2 0",
         "'end-worker' takes a slot number (from 1) and a process "
         "ID"},
        {"phpkeeper 1 end-worker 2147483648 5120",
         "'end-worker' takes a slot number (from 1) "
         "and a process ID"},
        {"phpkeeper 1 end-worker 2 4294967296",
         "'end-worker' takes a slot number (from 1) and "
         "a process ID"},
        {"phpkeeper 1 end-worker +2 5120",
         "'end-worker' takes a slot number (from 1) and a "
         "process ID"},
        {"phpkeeper 1 end-worker 2 0x10",
         "'end-worker' takes a slot number (from 1) and a "
         "process ID"},
        {"phpkeeper 1 end-worker 2 5120 9",
         "'end-worker' takes a slot number (from 1) and a "
         "process ID"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(control::parseRequest(c.text, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

control::StatusReport sampleReport() {
    control::StatusReport report;
    report.folder = "C:\\Lanterra";
    report.uptimeMs = 7380000;
    report.settings = {
        "C:\\Lanterra\\Lanterra.ini", true, "C:\\Lanterra", "php-8.3", "3", 3, "php-7.4, php-8.3"};
    report.pools = {{"php-7.4", 9000, "C:\\Lanterra\\php\\php-7.4\\php-cgi.exe"},
                    {"php-8.3", 9001, "C:\\Lanterra\\php\\php-8.3\\php-cgi.exe"}};
    control::SlotStatus running;
    running.slot = 1;
    running.version = "php-7.4";
    running.port = 9000;
    running.processId = 5120;
    running.uptimeMs = 61000;
    running.starts = 2;
    running.lastExitCode = 0xC0000005;
    running.exePath = report.pools[0].exePath;
    control::SlotStatus failing = running;
    failing.slot = 2;
    failing.processId = 0;
    failing.state = control::SlotState::failing;
    failing.uptimeMs = 0;
    failing.lastExitCode = 255;
    failing.lastEndRequested = true;
    failing.nextTryMs = 6500;
    control::SlotStatus notStarted = failing;
    notStarted.slot = 3;
    notStarted.version = "php-8.3";
    notStarted.port = 9001;
    notStarted.state = control::SlotState::notStarted;
    notStarted.starts = 0;
    notStarted.lastExitCode.reset();
    notStarted.lastEndRequested = false;
    notStarted.exePath = report.pools[1].exePath;
    report.slots = {running, failing, notStarted};
    return report;
}

TEST(ControlReply, StatusRecordsAreTabSeparatedLinesThatEndWithEnd) {
    const std::string expected =
        "phpkeeper 1 ok\n"
        "supervisor\t7380000\tC:\\Lanterra\n"
        "config\tfound\tC:\\Lanterra\\Lanterra.ini\n"
        "setting\tpath\tC:\\Lanterra\n"
        "setting\tphpver\tphp-8.3\n"
        "setting\tphpnum\t3\t3\n"
        "setting\tphpvers\tphp-7.4, php-8.3\n"
        "pool\tphp-7.4\t9000\tC:\\Lanterra\\php\\php-7.4\\php-cgi.exe\n"
        "pool\tphp-8.3\t9001\tC:\\Lanterra\\php\\php-8.3\\php-cgi.exe\n"
        "slot\t1\tphp-7.4\t9000\t5120\trunning\t61000\t2\t0xC0000005\t0\t0\t"
        "C:\\Lanterra\\php\\php-7.4\\php-cgi.exe\n"
        "slot\t2\tphp-7.4\t9000\t0\tfailing\t0\t2\t0x000000FF\t1\t6500\t"
        "C:\\Lanterra\\php\\php-7.4\\php-cgi.exe\n"
        "slot\t3\tphp-8.3\t9001\t0\tnot started\t0\t0\t-\t0\t6500\t"
        "C:\\Lanterra\\php\\php-8.3\\php-cgi.exe\n"
        "end\n";
    EXPECT_EQ(control::okReply(control::formatStatus(sampleReport())), expected);
}

TEST(ControlReply, StatusReadsBackAsItWasWritten) {
    const control::StatusReport sent = sampleReport();
    const auto reply = control::parseReply(control::okReply(control::formatStatus(sent)));
    ASSERT_TRUE(reply && reply->ok);
    const auto read = control::parseStatus(reply->records);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->folder, sent.folder);
    EXPECT_EQ(read->uptimeMs, sent.uptimeMs);
    EXPECT_EQ(read->settings.file, sent.settings.file);
    EXPECT_EQ(read->settings.fileFound, sent.settings.fileFound);
    EXPECT_EQ(read->settings.phpnum, sent.settings.phpnum);
    EXPECT_EQ(read->settings.workersPerVersion, sent.settings.workersPerVersion);
    EXPECT_EQ(read->settings.phpvers, sent.settings.phpvers);
    ASSERT_EQ(read->pools.size(), 2u);
    EXPECT_EQ(read->pools[1].port, 9001);
    EXPECT_EQ(read->pools[1].exePath, sent.pools[1].exePath);
    ASSERT_EQ(read->slots.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const control::SlotStatus& a = read->slots[i];
        const control::SlotStatus& b = sent.slots[i];
        EXPECT_EQ(a.slot, b.slot);
        EXPECT_EQ(a.version, b.version);
        EXPECT_EQ(a.port, b.port);
        EXPECT_EQ(a.processId, b.processId);
        EXPECT_EQ(a.state, b.state);
        EXPECT_EQ(a.uptimeMs, b.uptimeMs);
        EXPECT_EQ(a.starts, b.starts);
        EXPECT_EQ(a.lastExitCode, b.lastExitCode);
        EXPECT_EQ(a.lastEndRequested, b.lastEndRequested);
        EXPECT_EQ(a.nextTryMs, b.nextTryMs);
        EXPECT_EQ(a.exePath, b.exePath);
    }
}

TEST(ControlReply, SettingsWithLineBreaksCannotForgeRecords) {
    control::StatusReport report = sampleReport();
    report.settings.phpver = "php\tx\nslot\t9";
    report.settings.workersPerVersion = -2;
    const auto read = control::parseStatus(control::formatStatus(report));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->settings.phpver, "php?x?slot?9");
    EXPECT_EQ(read->settings.workersPerVersion, -2);
    EXPECT_EQ(read->slots.size(), 3u);
}

TEST(ControlReply, DamagedStatusIsRefusedAndUnknownRecordsAreSkipped) {
    const std::string good = control::formatStatus(sampleReport());
    const std::string withoutEnd = good.substr(0, good.size() - 4);
    EXPECT_TRUE(control::parseStatus(good));
    EXPECT_FALSE(control::parseStatus(withoutEnd)) << "a cut reply";
    EXPECT_FALSE(control::parseStatus(good + "slot\t4\n")) << "records after the end";
    EXPECT_FALSE(control::parseStatus(""));
    EXPECT_FALSE(control::parseStatus("slot\t1\tphp\t9000\nend\n")) << "too few fields";
    EXPECT_FALSE(control::parseStatus("slot\t1\tphp\t9000\t12\tasleep\t0\t1\t-\t0\t0\tx\nend\n"))
        << "no such state";
    EXPECT_FALSE(control::parseStatus("supervisor\tlong\tC:\\\nend\n"));
    const auto newer = control::parseStatus("memory\t4096\n" + good);
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->slots.size(), 3u);
}

TEST(ControlReply, ErrorsAndEndsReadBack) {
    const auto error = control::parseReply(control::errorReply("there is no slot 9\nend"));
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->ok);
    EXPECT_EQ(error->error, "there is no slot 9?end");

    const auto ended = control::parseReply(control::okReply(control::formatEnded({2, 5120})));
    ASSERT_TRUE(ended && ended->ok);
    const auto worker = control::parseEnded(ended->records);
    ASSERT_TRUE(worker);
    EXPECT_EQ(worker->slot, 2);
    EXPECT_EQ(worker->processId, 5120u);

    for (const char* text : {"", "phpkeeper 1 ok", "phpkeeper 2 ok\n", "hello\n"}) {
        EXPECT_FALSE(control::parseReply(text)) << text;
    }
}

}  // namespace
