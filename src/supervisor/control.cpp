// What a control tool is told about the pool, and what it may ask the supervisor to do.
#include "supervisor/control.h"

#include "shared.h"
#include "supervisor/settings.h"
#include "supervisor/startup.h"
#include "workers/launcher.h"
#include "workers/supervision.h"

namespace {

control::SlotState stateOf(const WorkerRecord& record) {
    if (record.processId != 0) {
        return control::SlotState::running;
    }
    return record.failing ? control::SlotState::failing : control::SlotState::notStarted;
}

control::SlotStatus slotStatus(int slot, const WorkerRecord& record, std::uint64_t now) {
    control::SlotStatus status;
    status.slot = slot;
    const auto pool = static_cast<std::size_t>(record.versionIndex);
    status.version = pool >= 1 && pool <= Pools.size() ? Pools[pool - 1].version : Text();
    status.port = portOf(record.versionIndex);
    status.processId = record.processId;
    status.state = stateOf(record);
    const bool running = status.state == control::SlotState::running;
    status.uptimeMs = running ? now - record.startedAtMs : 0;
    status.starts = record.starts;
    status.lastExitCode = record.lastExitCode;
    status.lastEndRequested = record.lastEndRequested;
    status.nextTryMs = !running && NextCheckAtMs > now ? NextCheckAtMs - now : 0;
    status.exePath = record.exePath;
    return status;
}

platform::RequestAnswer statusAnswer(bool thenEnd) {
    return {control::okReply(control::formatStatus(currentStatus())), thenEnd};
}

}  // namespace

control::StatusReport currentStatus() {
    const std::uint64_t now = platform::nowMs();
    control::StatusReport report;
    report.folder = RunDirectory;
    report.uptimeMs = now - StartedAtMs;
    report.settings = {configFilePath(RunDirectory), SettingsAsRead.fileFound,
                       SettingsAsRead.path,          SettingsAsRead.phpver,
                       SettingsAsRead.phpnum,        SettingsAsRead.workersPerVersion,
                       SettingsAsRead.phpvers};
    for (std::size_t i = 0; i < Pools.size(); ++i) {
        report.pools.push_back(
            {Pools[i].version, portOf(static_cast<int>(i) + 1), Pools[i].exePath});
    }
    for (std::size_t i = 0; i < Workers.size(); ++i) {
        report.slots.push_back(slotStatus(static_cast<int>(i) + 1, Workers[i], now));
    }
    return report;
}

platform::RequestAnswer answerControlRequest(const Text& text) {
    Text error;
    const auto request = control::parseRequest(text, error);
    if (!request) {
        return {control::errorReply(error), false};
    }
    switch (request->verb) {
        case control::Verb::status:
            return statusAnswer(false);
        case control::Verb::stop:
            // The asker takes hold of the workers named in this reply while it has it; the
            // supervisor ends straight after, so that no worker is started that it cannot know.
            return statusAnswer(true);
        case control::Verb::endWorker:
            error = endWorkerOnRequest(request->slot, request->processId);
            if (!error.empty()) {
                return {control::errorReply(error), false};
            }
            return {control::okReply(control::formatEnded({request->slot, request->processId})),
                    false};
    }
    return {control::errorReply("unknown request"), false};
}
