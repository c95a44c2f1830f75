// Start-up, the first launch from the configuration, and the orderly end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "shared.h"
#include "supervisor/startup.h"

namespace {

const Text kConfig = "C:\\pkg\\Lanterra.ini";

class StartupTest : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        freshStart();
    }

    // A new fake whose message loop ends at once on a close request.
    static void freshStart() {
        fake::reset();
        os().loop = {fake::closeRequest()};
    }

    // A package laid out the nested way: D:\pkg\php\php-8.3\php-cgi.exe.
    void configureNestedPackage(const Text& workers) {
        fake::setSetting("Lanterra", "path", "D:\\pkg");
        fake::setSetting("phpFind", "phpver", "php-8.3");
        fake::setSetting("phpFind", "phpnum", workers);
        os().existingPaths.insert("D:\\pkg\\php\\php-8.3\\php-cgi.exe");
    }

    static std::vector<Text> spawnedExes() {
        std::vector<Text> exes;
        for (const fake::Spawn& spawn : os().spawns) {
            exes.push_back(spawn.exePath);
        }
        return exes;
    }
};

TEST_F(StartupTest, RunsItsStepsInOrderAndEndsWithoutStoppingAWorker) {
    configureNestedPackage("2");
    WorkerRecord leftover;
    leftover.exePath = "stale";
    Workers.push_back(leftover);

    EXPECT_EQ(runSupervisor(), 0);

    const std::vector<std::string> expected = {
        "addErrorModeBits 0x8003",
        "ownModulePath",
        "setCurrentDirectory C:\\pkg",
        "buildMainWindow",
        "systemDirectory",
        "pathExists " + kConfig,
        "readSetting " + kConfig + " Lanterra path",
        "readSetting " + kConfig + " phpFind phpver",
        "readSetting " + kConfig + " phpFind phpnum",
        "readSetting " + kConfig + " phpFind phpvers",
        "pathExists D:\\pkgphp-8.3\\php-cgi.exe",
        "pathExists D:\\pkg\\php\\php-8.3\\php-cgi.exe",
        "spawnHidden D:\\pkg\\php\\php-8.3\\php-cgi.exe",
        "spawnHidden D:\\pkg\\php\\php-8.3\\php-cgi.exe",
        "runMessageLoop",
        "releaseProcessHold 100",
        "releaseProcessHold 101",
    };
    EXPECT_EQ(os().calls, expected);
    EXPECT_EQ(os().spawns.at(0).workingDirectory, "C:\\Windows\\system32\\");
    EXPECT_TRUE(Workers.empty());
    EXPECT_TRUE(RunDirectory.empty() && SystemDirectory.empty() && InstallPath.empty() &&
                PhpVersion.empty());
    EXPECT_EQ(os().running, (std::set<ProcessId>{100, 101})) << "the workers outlive us";
}

// Workers inherit the error mode on Windows, so these bits keep a crashing php-cgi.exe from
// waiting behind a dialog that nobody sees. (Wine does not pass the mode on to children, so only
// here can the bits be checked.)
TEST_F(StartupTest, ErrorModeAsksForNoDialogs) {
    configureNestedPackage("1");
    runSupervisor();
    EXPECT_EQ(os().errorMode & platform::kFailCriticalErrors, platform::kFailCriticalErrors);
    EXPECT_EQ(os().errorMode & platform::kNoGpFaultErrorBox, platform::kNoGpFaultErrorBox)
        << "a crash dialog would hold the dead worker in the process list";
    EXPECT_EQ(os().errorMode & platform::kNoOpenFileErrorBox, platform::kNoOpenFileErrorBox);
}

TEST_F(StartupTest, ExitCodeIsZeroAfterACloseRequestAndTheQuitValueOtherwise) {
    struct Case {
        std::vector<fake::LoopEvent> loop;
        int exitCode;
    };
    const Case cases[] = {
        {{fake::closeRequest()}, 0}, {{fake::tick(), fake::tick(), fake::closeRequest()}, 0},
        {{fake::quitMessage(7)}, 7}, {{fake::tick(), fake::quitMessage(-3)}, -3},
        {{fake::quitMessage(0)}, 0},
    };
    for (const Case& c : cases) {
        freshStart();
        configureNestedPackage("1");
        os().loop = c.loop;
        EXPECT_EQ(runSupervisor(), c.exitCode);
        EXPECT_TRUE(os().held.empty());
    }
}

TEST_F(StartupTest, WithoutAWindowNothingStartsAndTheExitCodeSaysSo) {
    configureNestedPackage("3");
    os().windowFails = true;
    EXPECT_EQ(runSupervisor(), kNoWindowExitCode);
    EXPECT_TRUE(os().spawns.empty());
    EXPECT_TRUE(fake::callsStartingWith("runMessageLoop").empty());
}

TEST_F(StartupTest, TicksOfTheLoopRestartDeadWorkers) {
    configureNestedPackage("2");
    os().loop = {fake::tick(), fake::step([] { fake::kill(100); }), fake::tick(),
                 fake::closeRequest()};
    EXPECT_EQ(runSupervisor(), 0);
    ASSERT_EQ(os().spawns.size(), 3u);
    EXPECT_EQ(os().spawns[2].exePath, "D:\\pkg\\php\\php-8.3\\php-cgi.exe");
    EXPECT_EQ(os().spawns[2].arguments, " -b 127.0.0.1:9000");
}

TEST_F(StartupTest, EndNoticesOfTheLoopRestartAWorkerBeforeAnyCheck) {
    configureNestedPackage("2");
    os().loop = {fake::step([] {
                     fake::advance(3000);
                     fake::exitWith(101, 0);
                 }),
                 fake::endNotice(101), fake::closeRequest()};
    EXPECT_EQ(runSupervisor(), 0);
    EXPECT_TRUE(fake::callsStartingWith("tick").empty());
    ASSERT_EQ(os().spawns.size(), 3u);
    EXPECT_EQ(os().spawns[2].exePath, "D:\\pkg\\php\\php-8.3\\php-cgi.exe");
    EXPECT_EQ(os().running, (std::set<ProcessId>{100, 102}));
}

TEST_F(StartupTest, WithoutAConfigurationFileThreeStartsAreTriedFromTheDriveRoot) {
    os().settingsFileExists = false;
    runSupervisor();
    EXPECT_EQ(spawnedExes(), std::vector<Text>(3, "\\php-cgi.exe"));
    EXPECT_EQ(fake::callsStartingWith("pathExists"),
              (std::vector<std::string>{"pathExists " + kConfig, "pathExists \\php-cgi.exe",
                                        "pathExists \\php\\\\php-cgi.exe"}));
}

TEST_F(StartupTest, WorkerCountComesFromPhpnum) {
    struct Case {
        const char* value;  // nullptr: no such key
        std::size_t workers;
    };
    const Case cases[] = {{nullptr, 3}, {"", 0},  {"0", 0},        {"-2", 0},
                          {"abc", 0},   {"5", 5}, {"\xA3\xB2", 2}, {" 4 workers", 4}};
    for (const Case& c : cases) {
        freshStart();
        configureNestedPackage("");
        if (c.value == nullptr) {
            os().settings.erase({"phpFind", "phpnum"});
        } else {
            fake::setSetting("phpFind", "phpnum", c.value);
        }
        os().loop = {fake::tick(), fake::closeRequest()};
        runSupervisor();
        EXPECT_EQ(os().spawns.size(), c.workers) << "phpnum " << (c.value ? c.value : "missing");
    }
}

TEST_F(StartupTest, FlatLayoutKeepsTheInstallPath) {
    fake::setSetting("Lanterra", "path", "D:\\pkg\\php\\");
    fake::setSetting("phpFind", "phpver", "php-7.0");
    fake::setSetting("phpFind", "phpnum", "1");
    os().existingPaths.insert("D:\\pkg\\php\\php-7.0\\php-cgi.exe");
    os().loop = {fake::step([] { EXPECT_EQ(InstallPath, "D:\\pkg\\php\\"); }),
                 fake::closeRequest()};
    runSupervisor();
    EXPECT_EQ(spawnedExes(), std::vector<Text>{"D:\\pkg\\php\\php-7.0\\php-cgi.exe"});
}

TEST_F(StartupTest, RelativeInstallPathIsLeftForTheProgramsFolderToResolve) {
    fake::setSetting("Lanterra", "path", "pkg\\");
    fake::setSetting("phpFind", "phpver", "php-8.3");
    fake::setSetting("phpFind", "phpnum", "1");
    runSupervisor();
    EXPECT_EQ(spawnedExes(), std::vector<Text>{"pkg\\php-8.3\\php-cgi.exe"});
    EXPECT_EQ(os().currentDirectory, "C:\\pkg");
}

TEST_F(StartupTest, FailingSystemFolderLeavesWorkersInTheProgramsFolder) {
    configureNestedPackage("1");
    os().systemDirectory = "";
    runSupervisor();
    EXPECT_EQ(os().spawns.at(0).workingDirectory, "");
}

TEST_F(StartupTest, SeveralVersionsRunOnePoolEachOnConsecutivePorts) {
    configureNestedPackage("2");
    fake::setSetting("phpFind", "phpvers", " php-7.4, php-8.3 ,php-8.4");
    os().existingPaths.insert("D:\\pkg\\php\\php-7.4\\php-cgi.exe");
    runSupervisor();

    const std::vector<std::pair<Text, Text>> expected = {
        {"D:\\pkg\\php\\php-7.4\\php-cgi.exe", " -b 127.0.0.1:9000"},
        {"D:\\pkg\\php\\php-7.4\\php-cgi.exe", " -b 127.0.0.1:9000"},
        {"D:\\pkg\\php\\php-8.3\\php-cgi.exe", " -b 127.0.0.1:9001"},
        {"D:\\pkg\\php\\php-8.3\\php-cgi.exe", " -b 127.0.0.1:9001"},
        {"D:\\pkg\\php\\php-8.4\\php-cgi.exe", " -b 127.0.0.1:9002"},
        {"D:\\pkg\\php\\php-8.4\\php-cgi.exe", " -b 127.0.0.1:9002"},
    };
    std::vector<std::pair<Text, Text>> started;
    for (const fake::Spawn& spawn : os().spawns) {
        started.emplace_back(spawn.exePath, spawn.arguments);
    }
    EXPECT_EQ(started, expected);
    EXPECT_EQ(
        fake::callsStartingWith("pathExists"),
        (std::vector<std::string>{"pathExists " + kConfig, "pathExists D:\\pkgphp-7.4\\php-cgi.exe",
                                  "pathExists D:\\pkg\\php\\php-7.4\\php-cgi.exe"}))
        << "the folder is resolved once, with the first name";
}

TEST_F(StartupTest, TwoListedVersionsAreEnoughForOnePoolEach) {
    configureNestedPackage("1");
    fake::setSetting("phpFind", "phpvers", "php-7.4,php-8.3");
    os().existingPaths.insert("D:\\pkg\\php\\php-7.4\\php-cgi.exe");
    runSupervisor();
    ASSERT_EQ(os().spawns.size(), 2u);
    EXPECT_EQ(os().spawns[0].exePath, "D:\\pkg\\php\\php-7.4\\php-cgi.exe");
    EXPECT_EQ(os().spawns[0].arguments, " -b 127.0.0.1:9000");
    EXPECT_EQ(os().spawns[1].exePath, "D:\\pkg\\php\\php-8.3\\php-cgi.exe");
    EXPECT_EQ(os().spawns[1].arguments, " -b 127.0.0.1:9001");
}

TEST_F(StartupTest, FewerThanTwoListedVersionsKeepTheSelectedOne) {
    for (const char* list : {"php-7.4", " , ", ""}) {
        freshStart();
        configureNestedPackage("1");
        fake::setSetting("phpFind", "phpvers", list);
        runSupervisor();
        EXPECT_EQ(spawnedExes(), std::vector<Text>{"D:\\pkg\\php\\php-8.3\\php-cgi.exe"})
            << "phpvers '" << list << "'";
    }
}

}  // namespace
