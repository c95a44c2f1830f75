// Restarts dead workers in place, one process-list check per record.
#include "workers/supervision.h"

#include <algorithm>

#include "workers/launcher.h"

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
    // Restarts overwrite in place, so the walk sees the same number of records throughout.
    const int recordCount = static_cast<int>(Workers.size());
    for (int slot = 1; slot <= recordCount; ++slot) {
        WorkerRecord& record = Workers[static_cast<std::size_t>(slot) - 1];
        // A list that could not be taken says nothing about this worker; starting a second
        // copy beside one that may still run would be worse than waiting one period.
        if (isProcessAlive(record.processId) != Liveness::gone) {
            continue;
        }
        platform::releaseProcessHold(record.processId);
        record.processId = 0;
        launchWorkers(0, 1, record.exePath, slot, record.arguments);
    }
}
