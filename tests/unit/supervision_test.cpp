// The periodic check that restarts dead workers.
#include <gtest/gtest.h>

#include <vector>

#include "fixture.h"
#include "workers/launcher.h"
#include "workers/supervision.h"

namespace {

// Three workers of distinct executables, so that the order of restarts shows.
class SupervisionTest : public FakePlatformTest {
  protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        for (const Text& exe : kExes) {
            os().existingPaths.insert(exe);
            Text arguments;
            launchWorkers(1, 1, exe, 0, arguments);
        }
        original = Workers;
        os().calls.clear();
        os().spawns.clear();
    }

    const std::vector<Text> kExes = {"C:\\a\\php-cgi.exe", "C:\\b\\php-cgi.exe",
                                     "C:\\c\\php-cgi.exe"};
    WorkerTable original;
};

void expectSameRecord(const WorkerRecord& actual, const WorkerRecord& expected) {
    EXPECT_EQ(actual.exePath, expected.exePath);
    EXPECT_EQ(actual.arguments, expected.arguments);
    EXPECT_EQ(actual.processId, expected.processId);
}

TEST_F(FakePlatformTest, TickOnAnEmptyTableDoesNothing) {
    onSupervisionTick();
    EXPECT_TRUE(os().calls.empty());
}

TEST_F(SupervisionTest, AllAliveStartsNothingAndChangesNothing) {
    onSupervisionTick();
    EXPECT_TRUE(os().spawns.empty());
    EXPECT_EQ(fake::callsStartingWith("listProcesses").size(), 3u) << "one list per record";
    for (std::size_t i = 0; i < 3; ++i) {
        expectSameRecord(Workers[i], original[i]);
    }
}

TEST_F(SupervisionTest, OneDeadWorkerIsRestartedInItsOwnSlot) {
    fake::kill(original[1].processId);
    onSupervisionTick();

    ASSERT_EQ(os().spawns.size(), 1u);
    EXPECT_EQ(os().spawns[0].exePath, original[1].exePath);
    EXPECT_EQ(os().spawns[0].arguments, " -b 127.0.0.1:9000");
    EXPECT_EQ(Workers[1].processId, os().spawns[0].id);
    EXPECT_EQ(Workers[1].exePath, original[1].exePath);
    EXPECT_EQ(Workers[1].arguments, original[1].arguments);
    expectSameRecord(Workers[0], original[0]);
    expectSameRecord(Workers[2], original[2]);
}

TEST_F(SupervisionTest, TwoDeadWorkersAreRestartedInTableOrderInOneTick) {
    fake::kill(original[2].processId);
    fake::kill(original[0].processId);
    onSupervisionTick();

    ASSERT_EQ(os().spawns.size(), 2u);
    EXPECT_EQ(os().spawns[0].exePath, kExes[0]);
    EXPECT_EQ(os().spawns[1].exePath, kExes[2]);
    EXPECT_EQ(Workers[0].processId, os().spawns[0].id);
    EXPECT_EQ(Workers[2].processId, os().spawns[1].id);
    expectSameRecord(Workers[1], original[1]);
}

TEST_F(SupervisionTest, DeadWorkersHandleIsReleasedOnceBeforeItsReplacementStarts) {
    const ProcessId dead = original[1].processId;
    fake::kill(dead);
    onSupervisionTick();
    onSupervisionTick();

    const std::string release = "releaseProcessHold " + std::to_string(dead);
    const auto& calls = os().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), release), 1);
    const auto released = std::find(calls.begin(), calls.end(), release);
    const auto restarted = std::find(calls.begin(), calls.end(), "spawnHidden " + kExes[1]);
    EXPECT_LT(released, restarted);
    EXPECT_EQ(os().held.count(dead), 0u);
}

// Windows lists its idle process as ID 0, which is also what a failed start records: such a
// record must not pass for a running worker.
TEST_F(SupervisionTest, FailedStartIsTriedAgainOncePerTick) {
    fake::kill(original[0].processId);
    os().existingPaths.erase(kExes[0]);
    ASSERT_TRUE(os().listsIdleProcess);

    onSupervisionTick();
    EXPECT_EQ(Workers[0].processId, 0u);
    onSupervisionTick();
    EXPECT_EQ(Workers[0].processId, 0u);
    EXPECT_EQ(fake::callsStartingWith("spawnHidden").size(), 2u) << "one start per slot per tick";

    os().existingPaths.insert(kExes[0]);
    onSupervisionTick();
    EXPECT_NE(Workers[0].processId, 0u);
    EXPECT_EQ(Workers[0].exePath, kExes[0]);
    EXPECT_EQ(Workers[0].arguments, original[0].arguments);
    EXPECT_EQ(os().spawns.size(), 3u);
}

TEST_F(SupervisionTest, TickWithoutAProcessListStartsNothing) {
    fake::kill(original[1].processId);
    os().snapshotFailures = 3;
    onSupervisionTick();
    EXPECT_TRUE(os().spawns.empty()) << "an unknown state is not a death";
    for (std::size_t i = 0; i < 3; ++i) {
        expectSameRecord(Workers[i], original[i]);
    }

    onSupervisionTick();
    ASSERT_EQ(os().spawns.size(), 1u) << "the next tick looks again";
    EXPECT_EQ(os().spawns[0].exePath, kExes[1]);
}

TEST_F(SupervisionTest, LongProcessListIsSearchedToTheEnd) {
    // A busy machine: the worker sits far behind the first thousand entries.
    fake::kill(original[2].processId);
    platform::releaseProcessHold(original[2].processId);
    for (ProcessId id = 10000; id < 12000; ++id) {
        os().running.insert(id);
    }
    const ProcessId late = 20000;
    os().running.insert(late);
    os().held.insert(late);
    Workers[2].processId = late;

    onSupervisionTick();
    EXPECT_TRUE(os().spawns.empty());
}

}  // namespace
