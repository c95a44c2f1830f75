// Restarts dead workers in place: at once when told of an end, and at every check, one
// process-list check per record.
#include "workers/supervision.h"

#include <algorithm>
#include <string>

#include "workers/launcher.h"

namespace {

void noteEnd(WorkerRecord& record, std::optional<std::uint32_t> exitCode) {
    if (exitCode) {
        record.lastExitCode = exitCode;
        record.lastEndRequested = record.endRequested;
    }
}

// The launcher lets go of the ended worker only once its replacement has started, so the
// replacement can never be given the same ID: every worker of a slot has an ID of its own.
void restartSlot(int slot, std::optional<std::uint32_t> exitCode) {
    WorkerRecord& record = Workers[static_cast<std::size_t>(slot) - 1];
    noteEnd(record, exitCode);
    launchWorkers(0, 1, record.exePath, slot, record.arguments);
}

}  // namespace

bool endedAsFailedStart(std::uint32_t exitCode, std::uint64_t lifeMs) {
    return lifeMs < kQuickEndMs || (exitCode != 0 && lifeMs < kFailedStartWindowMs);
}

Liveness isProcessAlive(ProcessId processId) {
    if (processId == 0) {
        return Liveness::gone;
    }
    const auto running = platform::listProcesses();
    if (!running) {
        return Liveness::unknown;
    }
    const bool found = std::find(running->begin(), running->end(), processId) != running->end();
    return found ? Liveness::alive : Liveness::gone;
}

void onSupervisionTick() {
    NextCheckAtMs = platform::nowMs() + platform::kSupervisionPeriodMs;
    // Restarts overwrite in place, so the walk sees the same number of records throughout.
    const int recordCount = static_cast<int>(Workers.size());
    for (int slot = 1; slot <= recordCount; ++slot) {
        // A list that could not be taken says nothing about this worker; starting a second
        // copy beside one that may still run would be worse than waiting one period.
        const ProcessId processId = Workers[static_cast<std::size_t>(slot) - 1].processId;
        if (isProcessAlive(processId) == Liveness::gone) {
            restartSlot(slot, platform::exitCodeOf(processId));
        }
    }
}

void onWorkerEnded(ProcessId processId) {
    if (processId == 0) {
        return;
    }
    const auto found = std::find_if(Workers.begin(), Workers.end(), [&](const WorkerRecord& r) {
        return r.processId == processId;
    });
    if (found == Workers.end()) {
        return;
    }
    // A record holds this ID but not the process that ended: the check replaced that one and
    // Windows gave its freed ID to another slot's worker, which runs. The notice is dropped.
    const auto exitCode = platform::exitCodeOf(processId);
    if (!exitCode) {
        return;
    }
    WorkerRecord& record = *found;
    const std::uint64_t lifeMs = platform::nowMs() - record.startedAtMs;
    if (!record.endRequested && endedAsFailedStart(*exitCode, lifeMs)) {
        // Starting it again at once would only fail again; the check tries once per period.
        noteEnd(record, exitCode);
        platform::releaseProcessHold(processId);
        record.processId = 0;
        record.failing = true;
        return;
    }
    restartSlot(static_cast<int>(found - Workers.begin()) + 1, exitCode);
}

Text endWorkerOnRequest(int slot, ProcessId processId) {
    if (slot < 1 || static_cast<std::size_t>(slot) > Workers.size()) {
        return "there is no slot " + std::to_string(slot) + "; this supervisor has " +
               std::to_string(Workers.size());
    }
    WorkerRecord& record = Workers[static_cast<std::size_t>(slot) - 1];
    if (record.processId == 0) {
        return "slot " + std::to_string(slot) + " has no running worker";
    }
    // The asker's view may be stale: the slot's worker may have been replaced since.
    if (record.processId != processId) {
        return "slot " + std::to_string(slot) + " runs process " +
               std::to_string(record.processId) + ", not " + std::to_string(processId);
    }
    if (!platform::endProcess(processId, kEndedOnRequestExitCode)) {
        return "Windows did not end process " + std::to_string(processId);
    }
    record.endRequested = true;
    return Text();
}
