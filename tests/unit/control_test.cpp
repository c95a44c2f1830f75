// What the supervisor answers control requests with, and what those requests may change.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "fixture.h"
#include "shared.h"
#include "supervisor/control.h"
#include "workers/supervision.h"

namespace {

const Text kExe83 = "D:\\pkg\\php\\php-8.3\\php-cgi.exe";
const Text kExe74 = "D:\\pkg\\php\\php-7.4\\php-cgi.exe";

// Two versions of two workers each: php-8.3 is installed, php-7.4 is not.
class ControlTest : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        fake::setSetting("Lanterra", "path", "D:\\pkg");
        fake::setSetting("phpFind", "phpver", "php-8.3");
        fake::setSetting("phpFind", "phpnum", "2");
        fake::setSetting("phpFind", "phpvers", "php-8.3,php-7.4");
        os().existingPaths.insert(kExe83);
    }

    // Runs the supervisor through `events`, then a close request; returns the replies.
    static std::vector<Text> run(std::vector<fake::LoopEvent> events) {
        events.push_back(fake::closeRequest());
        os().loop = events;
        EXPECT_EQ(runSupervisor(), 0);
        return os().replies;
    }

    static fake::LoopEvent status() { return fake::controlRequest("phpkeeper 1 status"); }
};

TEST_F(ControlTest, StatusShowsRunningFailingAndNotStartedSlotsAndTheSettingsAsRead) {
    const std::vector<Text> replies = run({
        fake::step([] {
            fake::advance(50);  // slot 2's worker dies at once: a failed start
            fake::exitWith(101, 255);
        }),
        fake::endNotice(101),
        fake::step([] { fake::advance(4000); }),
        status(),
    });
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              "phpkeeper 1 ok\n"
              "supervisor\t4050\tC:\\pkg\n"
              "config\tfound\tC:\\pkg\\Lanterra.ini\n"
              "setting\tpath\tD:\\pkg\n"
              "setting\tphpver\tphp-8.3\n"
              "setting\tphpnum\t2\t2\n"
              "setting\tphpvers\tphp-8.3,php-7.4\n"
              "pool\tphp-8.3\t9000\tD:\\pkg\\php\\php-8.3\\php-cgi.exe\n"
              "pool\tphp-7.4\t9001\tD:\\pkg\\php\\php-7.4\\php-cgi.exe\n"
              "slot\t1\tphp-8.3\t9000\t100\trunning\t4050\t1\t-\t0\t0\t"
              "D:\\pkg\\php\\php-8.3\\php-cgi.exe\n"
              "slot\t2\tphp-8.3\t9000\t0\tfailing\t0\t1\t0x000000FF\t0\t5950\t"
              "D:\\pkg\\php\\php-8.3\\php-cgi.exe\n"
              "slot\t3\tphp-7.4\t9001\t0\tnot started\t0\t0\t-\t0\t5950\t"
              "D:\\pkg\\php\\php-7.4\\php-cgi.exe\n"
              "slot\t4\tphp-7.4\t9001\t0\tnot started\t0\t0\t-\t0\t5950\t"
              "D:\\pkg\\php\\php-7.4\\php-cgi.exe\n"
              "end\n");
}

TEST_F(ControlTest, SettingsShowWhatWasReadEvenWhenItStartsNothing) {
    struct Case {
        const char* name;
        bool fileExists;
        const char* phpnum;  // nullptr: no such key
        std::vector<std::string> expectedLines;
    };
    const Case cases[] = {
        {"no_configuration_file",
         false,
         "2",
         {"config\tmissing\tC:\\pkg\\Lanterra.ini", "setting\tpath\t", "setting\tphpnum\t3\t3",
          "pool\t\t9000\t\\php-cgi.exe"}},
        {"phpnum_not_a_number",
         true,
         "abc",
         {"config\tfound\tC:\\pkg\\Lanterra.ini", "setting\tphpnum\tabc\t0"}},
        {"phpnum_missing", true, nullptr, {"setting\tphpnum\t3\t3"}},
    };
    for (const Case& c : cases) {
        SetUp();
        os().settingsFileExists = c.fileExists;
        if (c.phpnum == nullptr) {
            os().settings.erase({"phpFind", "phpnum"});
        } else {
            fake::setSetting("phpFind", "phpnum", c.phpnum);
        }
        const std::vector<Text> replies = run({status()});
        ASSERT_EQ(replies.size(), 1u);
        for (const std::string& line : c.expectedLines) {
            EXPECT_NE(replies[0].find("\n" + line + "\n"), Text::npos)
                << c.name << ": no line '" << line << "' in\n"
                << replies[0];
        }
    }
}

TEST_F(ControlTest, EndedOnRequestTheWorkerIsReplacedAtOnceHoweverYoung) {
    const std::vector<Text> replies = run({
        fake::step([] { fake::advance(10); }),
        fake::controlRequest("phpkeeper 1 end-worker 1 100"),
        fake::endNotice(100),
        status(),
    });
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "phpkeeper 1 ok\nended\t1\t100\nend\n");
    EXPECT_EQ(fake::callsStartingWith("endProcess"), std::vector<std::string>{"endProcess 100"});
    ASSERT_EQ(os().spawns.size(), 5u) << "two of php-8.3, two failed of php-7.4, one more";
    EXPECT_EQ(os().spawns[4].exePath, kExe83);
    EXPECT_NE(replies[1].find("slot\t1\tphp-8.3\t9000\t102\trunning\t0\t2\t0x00000001\t1\t0\t"),
              Text::npos)
        << "a second start, last exit ended on request\n"
        << replies[1];
}

TEST_F(ControlTest, EndWorkerThatCannotBeDoneChangesNothing) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"phpkeeper 1 end-worker 9 100",
         "phpkeeper 1 error there is no slot 9; this supervisor has 4\n"},
        {"phpkeeper 1 end-worker 1 101", "phpkeeper 1 error slot 1 runs process 100, not 101\n"},
        {"phpkeeper 1 end-worker 3 100", "phpkeeper 1 error slot 3 has no running worker\n"},
    };
    for (const Case& c : cases) {
        SetUp();
        const std::vector<Text> replies = run({fake::controlRequest(c.request)});
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], c.reply);
        EXPECT_TRUE(fake::callsStartingWith("endProcess").empty()) << c.request;
    }

    SetUp();
    os().endProcessFails = true;
    const std::vector<Text> replies =
        run({fake::controlRequest("phpkeeper 1 end-worker 1 100"), status()});
    EXPECT_EQ(replies.at(0), "phpkeeper 1 error Windows did not end process 100\n");
    EXPECT_NE(replies.at(1).find("slot\t1\tphp-8.3\t9000\t100\trunning"), Text::npos);
}

TEST_F(ControlTest, MalformedRequestsGetAnErrorAndLeaveThePoolAsItWas) {
    const std::vector<Text> requests = {
        "",
        "phpkeeper",
        "phpkeeper 1 end-worker 1",
        "phpkeeper 1 end-worker 1 100 extra",
        "phpkeeper 1 end-worker 1 -100",
        "phpkeeper 1 shutdown-everything",
        "phpkeeper 9 end-worker 1 100",
        std::string("phpkeeper 1 end-worker 1 100\0", 29),
        std::string(100000, '\xFF'),
    };
    for (const Text& request : requests) {
        SetUp();
        os().loop = {fake::controlRequest(request), fake::closeRequest()};
        runSupervisor();
        const std::vector<std::string> calls = os().calls;
        const auto answered = std::find(calls.begin(), calls.end(), "controlRequest");
        ASSERT_NE(answered, calls.end());
        EXPECT_EQ(*std::next(answered), "releaseProcessHold 100")
            << "nothing between the request and the end: " << request.substr(0, 40);
        ASSERT_EQ(os().replies.size(), 1u);
        EXPECT_EQ(os().replies[0].rfind("phpkeeper 1 error ", 0), 0u) << os().replies[0];
        EXPECT_EQ(os().replies[0].find('\n'), os().replies[0].size() - 1) << "one line";
        EXPECT_EQ(os().running, (std::set<ProcessId>{100, 101}));
    }
}

TEST_F(ControlTest, StopAnswersWithTheWorkersThenEndsLeavingThemRunning) {
    os().loop = {fake::controlRequest("phpkeeper 1 stop"), fake::tick(), fake::closeRequest()};
    EXPECT_EQ(runSupervisor(), 0);
    ASSERT_EQ(os().replies.size(), 1u);
    EXPECT_NE(os().replies[0].find("slot\t1\tphp-8.3\t9000\t100\trunning"), Text::npos);
    EXPECT_NE(os().replies[0].find("slot\t2\tphp-8.3\t9000\t101\trunning"), Text::npos);
    EXPECT_TRUE(fake::callsStartingWith("tick").empty()) << "nothing runs after the answer";
    EXPECT_TRUE(fake::callsStartingWith("endProcess").empty());
    EXPECT_EQ(os().running, (std::set<ProcessId>{100, 101})) << "the asker ends the workers";
}

}  // namespace
