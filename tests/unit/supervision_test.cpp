// Restarting dead workers: at once on an end notice, and at the periodic check.
#include <gtest/gtest.h>

#include <functional>
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

// Held until the replacement has started, so the replacement cannot be given the dead worker's ID
// (Wine hands a freed ID out at once) and every worker of a slot has an ID of its own.
TEST_F(SupervisionTest, DeadWorkersHandleIsReleasedOnceAfterItsReplacementStarts) {
    const ProcessId dead = original[1].processId;
    fake::kill(dead);
    onSupervisionTick();
    onSupervisionTick();

    const std::string release = "releaseProcessHold " + std::to_string(dead);
    const auto& calls = os().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), release), 1);
    const auto released = std::find(calls.begin(), calls.end(), release);
    const auto restarted = std::find(calls.begin(), calls.end(), "spawnHidden " + kExes[1]);
    EXPECT_LT(restarted, released);
    EXPECT_EQ(os().held.count(dead), 0u);
    EXPECT_NE(Workers[1].processId, dead);
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
    // A busy machine: two thousand other processes, and the table's workers sort behind them.
    for (ProcessId id = 10000; id < 12000; ++id) {
        os().running.insert(id);
    }
    fake::kill(original[2].processId);
    platform::releaseProcessHold(original[2].processId);
    const ProcessId late = 20000;
    os().running.insert(late);
    os().held.insert(late);
    Workers[2].processId = late;
    const ProcessId lateAndDead = 20001;
    os().held.insert(lateAndDead);
    fake::kill(original[0].processId);
    platform::releaseProcessHold(original[0].processId);
    Workers[0].processId = lateAndDead;

    onSupervisionTick();
    ASSERT_EQ(os().spawns.size(), 1u) << "the live late worker is kept, the dead one replaced";
    EXPECT_EQ(os().spawns[0].exePath, kExes[0]);
    EXPECT_EQ(Workers[2].processId, late);
}

TEST_F(SupervisionTest, EndNoticeRestartsOnlyThatWorkerAtOnce) {
    fake::advance(5000);
    const ProcessId ended = original[1].processId;
    fake::exitWith(ended, 0);  // PHP's own recycling
    onWorkerEnded(ended);

    ASSERT_EQ(os().spawns.size(), 1u);
    EXPECT_EQ(os().spawns[0].exePath, kExes[1]);
    EXPECT_EQ(os().spawns[0].arguments, original[1].arguments);
    EXPECT_EQ(Workers[1].processId, os().spawns[0].id);
    EXPECT_EQ(Workers[1].exePath, original[1].exePath);
    EXPECT_EQ(Workers[1].arguments, original[1].arguments);
    EXPECT_EQ(Workers[1].starts, 2u);
    EXPECT_EQ(Workers[1].lastExitCode, 0u);
    EXPECT_FALSE(Workers[1].failing);
    expectSameRecord(Workers[0], original[0]);
    expectSameRecord(Workers[2], original[2]);
    EXPECT_TRUE(fake::callsStartingWith("listProcesses").empty()) << "no check is needed";
    EXPECT_EQ(os().held.count(ended), 0u);
}

// Notices come from another thread through the message queue, so one may arrive after the slot
// has moved on; it must then start nothing.
TEST_F(SupervisionTest, NoticeThatNoLongerMatchesItsRecordStartsNothing) {
    struct Case {
        const char* name;
        std::function<ProcessId()> arrange;  // returns the ID the notice names
    };
    const Case cases[] = {
        {"worker_still_running", [&] { return original[0].processId; }},
        {"already_restarted_by_the_check",
         [&] {
             fake::kill(original[0].processId);
             onSupervisionTick();
             return original[0].processId;
         }},
        {"id_reused_by_another_slots_live_worker",
         [&] {
             // Wine hands a freed ID to the next process at once: once the check has replaced
             // slot 1's worker, slot 3's next worker may take its ID.
             const ProcessId freed = original[0].processId;
             fake::kill(freed);
             onSupervisionTick();
             os().reusedId = freed;
             fake::advance(5000);
             fake::exitWith(original[2].processId, 0);
             onWorkerEnded(original[2].processId);
             EXPECT_EQ(Workers[2].processId, freed);
             return freed;
         }},
        {"after_release_all",
         [&] {
             fake::kill(original[0].processId);
             releaseAll();
             return original[0].processId;
         }},
        {"unknown_id", [] { return ProcessId{4242}; }},
        {"id_zero", [] { return ProcessId{0}; }},
    };
    for (const Case& c : cases) {
        SetUp();
        const ProcessId named = c.arrange();
        const WorkerTable before = Workers;
        const std::size_t spawnsBefore = os().spawns.size();
        onWorkerEnded(named);
        EXPECT_EQ(os().spawns.size(), spawnsBefore) << c.name;
        ASSERT_EQ(Workers.size(), before.size()) << c.name;
        for (std::size_t i = 0; i < Workers.size(); ++i) {
            expectSameRecord(Workers[i], before[i]);
        }
        releaseAll();
        EXPECT_TRUE(os().held.empty()) << c.name;
    }
}

TEST(FailedStartRule, QuickOrFailingEndsWaitForTheCheck) {
    struct Case {
        std::uint32_t exitCode;
        std::uint64_t lifeMs;
        bool failedStart;
    };
    const Case cases[] = {
        {0, 0, true},                // gone before it could serve anything
        {0, 99, true},               // still too soon, however clean the exit
        {0, 100, false},             // a clean exit once it has run a moment: recycling
        {0, 3600000, false},         // an hour of service
        {255, 99, true},             // PHP's fatal error at start: broken php.ini, port taken
        {255, 999, true},            // just inside the second
        {255, 1000, false},          // a failure after a second of work is a crash, not a start
        {1, 300, true},              // killed that young counts the same
        {0xC0000135, 40, true},      // DLL not found
        {0xC0000005, 30000, false},  // crashed while serving
    };
    for (const Case& c : cases) {
        EXPECT_EQ(endedAsFailedStart(c.exitCode, c.lifeMs), c.failedStart)
            << "exit code " << c.exitCode << " after " << c.lifeMs << " ms";
    }
}

TEST_F(SupervisionTest, WorkerThatCannotStartCostsOneStartPerSlotPerCheck) {
    // php-cgi.exe that exits at once with 255, as with a broken php.ini: every start fails fast.
    const auto failAtOnce = [] {
        const ProcessId id = Workers[1].processId;
        fake::advance(40);
        fake::exitWith(id, 255);
        onWorkerEnded(id);
    };
    failAtOnce();
    EXPECT_TRUE(os().spawns.empty()) << "no start at once after a failed start";
    EXPECT_EQ(Workers[1].processId, 0u);
    EXPECT_TRUE(Workers[1].failing);
    EXPECT_EQ(Workers[1].lastExitCode, 255u);
    EXPECT_EQ(os().held.count(original[1].processId), 0u) << "its handle is let go at once";

    for (int period = 1; period <= 3; ++period) {
        fake::advance(platform::kSupervisionPeriodMs);
        onSupervisionTick();
        EXPECT_EQ(os().spawns.size(), static_cast<std::size_t>(period)) << "period " << period;
        EXPECT_FALSE(Workers[1].failing);
        failAtOnce();
        EXPECT_EQ(os().spawns.size(), static_cast<std::size_t>(period));
    }
    EXPECT_EQ(fake::callsStartingWith("spawnHidden " + kExes[0]).size(), 0u);
    EXPECT_EQ(fake::callsStartingWith("spawnHidden " + kExes[2]).size(), 0u);

    // Once PHP can start again, the next check's worker lives, and its end is answered at once.
    fake::advance(platform::kSupervisionPeriodMs);
    onSupervisionTick();
    fake::advance(60000);
    const ProcessId healthy = Workers[1].processId;
    fake::exitWith(healthy, 0);
    onWorkerEnded(healthy);
    EXPECT_EQ(os().spawns.size(), 5u);
    EXPECT_NE(Workers[1].processId, 0u);
}

}  // namespace
