// Starts workers hidden and writes their records into the worker table.
#include "workers/launcher.h"

#include <string>
#include <utility>

namespace {

void noteStart(WorkerRecord& record, ProcessId processId) {
    record.processId = processId;
    record.startedAtMs = platform::nowMs();
    record.starts += processId != 0 ? 1u : 0u;
    record.endRequested = false;
    record.failing = false;
}

void appendRecord(int versionIndex, const Text& exePath, const Text& arguments,
                  ProcessId processId) {
    WorkerRecord record;
    record.exePath = exePath;
    record.arguments = arguments;
    record.versionIndex = versionIndex < 1 ? 1 : versionIndex;
    noteStart(record, processId);
    Workers.push_back(std::move(record));
}

// The caller may pass the record's own fields; std::string assignment copies before it
// releases, so that is safe.
void overwriteRecord(int slot, const Text& exePath, const Text& arguments, ProcessId processId) {
    WorkerRecord& record = Workers[static_cast<std::size_t>(slot) - 1];
    // Whatever the record held is no longer watched, so its handle must not outlive it.
    platform::releaseProcessHold(record.processId);
    record.exePath = exePath;
    record.arguments = arguments;
    noteStart(record, processId);
}

}  // namespace

int portOf(int versionIndex) {
    return versionIndex <= 1 ? 9000 : 8999 + versionIndex;
}

Text portText(int versionIndex) {
    return std::to_string(portOf(versionIndex));
}

Text workerCommandLine(int versionIndex) {
    return Text(" -b ") + kWorkerAddress + ":" + portText(versionIndex);
}

void launchWorkers(int versionIndex, int count, const Text& exePath, int slot, Text& arguments) {
    for (int pass = 1; pass <= count; ++pass) {
        if (arguments.empty()) {
            arguments = workerCommandLine(versionIndex);
        }
        const ProcessId processId = platform::spawnHidden(exePath, arguments, SystemDirectory);
        if (slot > 0) {
            overwriteRecord(slot, exePath, arguments, processId);
        } else {
            appendRecord(versionIndex, exePath, arguments, processId);
        }
    }
}
