// Starting workers and writing their records.
#include <gtest/gtest.h>

#include "fixture.h"
#include "workers/launcher.h"

namespace {

const Text kExe = "C:\\php\\php-8.3\\php-cgi.exe";
const Text kCommandLine = " -b 127.0.0.1:9000";

class LauncherTest : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        os().existingPaths.insert(kExe);
        SystemDirectory = "C:\\Windows\\system32\\";
    }
};

TEST_F(LauncherTest, FirstLaunchAppendsOneRecordPerStartWithOneSharedCommandLine) {
    Text arguments;
    launchWorkers(1, 3, kExe, 0, arguments);

    EXPECT_EQ(arguments, kCommandLine);
    ASSERT_EQ(os().spawns.size(), 3u);
    ASSERT_EQ(Workers.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(os().spawns[i].exePath, kExe);
        EXPECT_EQ(os().spawns[i].arguments, kCommandLine);
        EXPECT_EQ(os().spawns[i].workingDirectory, "C:\\Windows\\system32\\");
        EXPECT_EQ(Workers[i].exePath, kExe);
        EXPECT_EQ(Workers[i].arguments, kCommandLine);
        EXPECT_EQ(Workers[i].processId, os().spawns[i].id) << "records follow the start order";
        EXPECT_NE(Workers[i].processId, 0u);
    }
}

TEST_F(LauncherTest, GivenCommandLineIsUsedAsItIs) {
    Text arguments = " -b 127.0.0.1:9123";
    launchWorkers(1, 2, kExe, 0, arguments);
    EXPECT_EQ(arguments, " -b 127.0.0.1:9123");
    EXPECT_EQ(os().spawns.at(1).arguments, " -b 127.0.0.1:9123");
}

TEST_F(LauncherTest, NoStartForACountBelowOne) {
    for (const int count : {0, -1, -2147483647 - 1}) {
        Text arguments;
        launchWorkers(1, count, kExe, 0, arguments);
        EXPECT_EQ(arguments, "") << "count " << count;
    }
    EXPECT_TRUE(os().spawns.empty());
    EXPECT_TRUE(Workers.empty());
}

TEST_F(LauncherTest, FailedStartsAreRecordedWithIdZero) {
    Text arguments;
    launchWorkers(1, 3, "C:\\nowhere\\php-cgi.exe", 0, arguments);
    ASSERT_EQ(Workers.size(), 3u);
    for (const WorkerRecord& record : Workers) {
        EXPECT_EQ(record.processId, 0u);
        EXPECT_EQ(record.arguments, kCommandLine);
    }
}

TEST_F(LauncherTest, RestartOverwritesOnlyItsOwnRecordFromItsOwnFields) {
    Text arguments;
    launchWorkers(1, 1, kExe, 0, arguments);
    const Text otherExe = "C:\\php\\php-7.4\\php-cgi.exe";
    os().existingPaths.insert(otherExe);
    Text otherArguments = " -b 127.0.0.1:9001";
    launchWorkers(2, 1, otherExe, 0, otherArguments);
    launchWorkers(1, 1, kExe, 0, arguments);
    const WorkerTable before = Workers;

    launchWorkers(0, 1, Workers[1].exePath, 2, Workers[1].arguments);

    ASSERT_EQ(Workers.size(), 3u);
    EXPECT_EQ(os().spawns.back().exePath, otherExe);
    EXPECT_EQ(os().spawns.back().arguments, " -b 127.0.0.1:9001");
    EXPECT_EQ(Workers[1].exePath, otherExe);
    EXPECT_EQ(Workers[1].arguments, " -b 127.0.0.1:9001");
    EXPECT_EQ(Workers[1].processId, os().spawns.back().id);
    EXPECT_NE(Workers[1].processId, before[1].processId);
    for (const std::size_t untouched : {0u, 2u}) {
        EXPECT_EQ(Workers[untouched].exePath, before[untouched].exePath);
        EXPECT_EQ(Workers[untouched].arguments, before[untouched].arguments);
        EXPECT_EQ(Workers[untouched].processId, before[untouched].processId);
    }
    EXPECT_EQ(os().held.count(before[1].processId), 0u) << "the overwritten worker's handle";
}

TEST_F(LauncherTest, SeveralStartsIntoOneSlotKeepOnlyTheLastHandle) {
    Text arguments;
    launchWorkers(1, 1, kExe, 0, arguments);
    launchWorkers(0, 3, kExe, 1, arguments);
    EXPECT_EQ(Workers.size(), 1u);
    EXPECT_EQ(os().spawns.size(), 4u);
    EXPECT_EQ(os().held, std::set<ProcessId>{Workers[0].processId});
    EXPECT_EQ(os().running.size(), 4u) << "no start stops an earlier worker";
}

TEST_F(LauncherTest, EmptySystemDirectoryPassesNoWorkingDirectory) {
    SystemDirectory.clear();
    Text arguments;
    launchWorkers(1, 1, kExe, 0, arguments);
    EXPECT_EQ(os().spawns.at(0).workingDirectory, "");
}

TEST(PortText, FollowsTheVersionIndex) {
    const std::pair<int, Text> cases[] = {{-1, "9000"}, {0, "9000"}, {1, "9000"},
                                          {2, "9001"},  {3, "9002"}, {10, "9009"}};
    for (const auto& [index, port] : cases) {
        EXPECT_EQ(portText(index), port) << "version index " << index;
        EXPECT_EQ(workerCommandLine(index), " -b 127.0.0.1:" + port);
    }
}

}  // namespace
