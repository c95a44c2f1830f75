// phpkeeperctl's verbs against the running supervisors: status, the rolling restart and stop.
// phpkeeper-stop.exe is the stop verb of this same code.
#include "ctl/win32/commands.h"

#include <windows.h>

#include <optional>

#include "control/protocol.h"
#include "ctl/view.h"
#include "ctl/win32/console.h"
#include "ctl/win32/supervisors.h"

namespace {

constexpr DWORD kStopTimeoutMs = 5000;
constexpr ULONGLONG kComeBackTimeoutMs = 5000;
constexpr DWORD kPollMs = 50;
constexpr char kNotRunning[] = "phpkeeper is not running: no supervisor window was found.\n";

std::string processText(DWORD processId) {
    return "phpkeeper (process " + std::to_string(processId) + ")";
}

// The status of one supervisor, its texts in UTF-8; nothing, with `problem` set, when it gave
// none.
std::optional<control::StatusReport> statusOf(const Supervisor& supervisor, std::string& problem) {
    const auto text = ask(supervisor, control::formatRequest({control::Verb::status, 0, 0}));
    if (!text) {
        problem = processText(supervisor.processId) + " did not answer within 5 s.";
        return std::nullopt;
    }
    const auto reply = control::parseReply(ansiToUtf8(*text));
    const auto report = reply && reply->ok ? control::parseStatus(reply->records) : std::nullopt;
    if (!report) {
        problem = processText(supervisor.processId) + " gave no status" +
                  (reply && !reply->ok ? ": " + reply->error : ".") + " Is it an older phpkeeper?";
    }
    return report;
}

int runStatus(bool json) {
    const std::vector<Supervisor> supervisors = findSupervisors();
    std::vector<ctl::SupervisorStatus> answered;
    bool failed = false;
    bool allHealthy = true;
    for (const Supervisor& supervisor : supervisors) {
        std::string problem;
        if (auto report = statusOf(supervisor, problem)) {
            allHealthy = allHealthy && ctl::healthy(*report);
            answered.push_back({supervisor.processId, std::move(*report)});
        } else {
            writeError(problem + "\n");
            failed = true;
        }
    }
    writeOut(json ? ctl::statusJson(answered) : ctl::statusTable(answered));
    if (supervisors.empty()) {
        (json ? writeError : writeOut)(kNotRunning);
        return ctl::kExitNotRunning;
    }
    if (failed) {
        return ctl::kExitFailed;
    }
    return allHealthy ? ctl::kExitOk : ctl::kExitUnhealthy;
}

std::string slotText(const control::SlotStatus& slot) {
    return "slot " + std::to_string(slot.slot) + " (" + slot.version + ", port " +
           std::to_string(slot.port) + ")";
}

// The slot as the supervisor sees it now; nothing, with `problem` set, when it does not answer.
std::optional<control::SlotStatus> currentSlot(const Supervisor& supervisor, int number,
                                               std::string& problem) {
    const auto report = statusOf(supervisor, problem);
    if (!report) {
        return std::nullopt;
    }
    for (const control::SlotStatus& slot : report->slots) {
        if (slot.slot == number) {
            return slot;
        }
    }
    problem = "the slot is gone";
    return std::nullopt;
}

// Waits until the slot has come back from the end of `before`; a reason when it does not.
std::string awaitComeBack(const Supervisor& supervisor, const control::SlotStatus& before,
                          std::uint32_t& newProcessId) {
    const ULONGLONG deadline = GetTickCount64() + kComeBackTimeoutMs;
    for (;;) {
        std::string problem;
        const auto slot = currentSlot(supervisor, before.slot, problem);
        if (!slot) {
            return problem;
        }
        if (ctl::cameBack(*slot, before)) {
            newProcessId = slot->processId;
            return "";
        }
        // Ended on request, a worker is started again at once, so a slot that is not running
        // now has a worker that failed to start, or could not start one.
        if (slot->state != control::SlotState::running) {
            return std::string(control::stateName(slot->state)) +
                   (slot->lastExitCode ? ", last exit " + ctl::exitText(*slot->lastExitCode, false)
                                       : "");
        }
        if (GetTickCount64() >= deadline) {
            return "no new worker has run for a second within 5 s";
        }
        Sleep(kPollMs);
    }
}

// Ends the slot's worker and waits for its replacement. The slot is looked at afresh first: its
// worker may have recycled itself since the restart began, and then it already runs on the new
// php.ini and is left alone.
bool restartSlot(const Supervisor& supervisor, const control::SlotStatus& listed,
                 ULONGLONG restartBegan) {
    std::string refused = "phpkeeper did not answer";
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto slot = currentSlot(supervisor, listed.slot, refused);
        if (!slot) {
            break;
        }
        if (slot->state != control::SlotState::running) {
            writeOut(slotText(*slot) + ": " + control::stateName(slot->state) +
                     "; left to the next check\n");
            return true;
        }
        if (slot->uptimeMs < GetTickCount64() - restartBegan) {
            writeOut(slotText(*slot) + ": " + std::to_string(slot->processId) +
                     " started after the restart began; left as it is\n");
            return true;
        }
        const auto text =
            ask(supervisor,
                control::formatRequest({control::Verb::endWorker, slot->slot, slot->processId}));
        const auto reply = text ? control::parseReply(ansiToUtf8(*text)) : std::nullopt;
        if (reply && reply->ok) {
            std::uint32_t newProcessId = 0;
            const std::string problem = awaitComeBack(supervisor, *slot, newProcessId);
            if (!problem.empty()) {
                writeError(slotText(*slot) + " did not come back: " + problem +
                           ". The slots after it were left as they were.\n");
                return false;
            }
            writeOut(slotText(*slot) + ": " + std::to_string(slot->processId) + " -> " +
                     std::to_string(newProcessId) + "\n");
            return true;
        }
        // Most likely the worker recycled itself between the look and the request: look again.
        refused = reply ? reply->error : "phpkeeper did not answer";
    }
    writeError(slotText(listed) + " was not restarted: " + refused +
               ". The slots after it were left as they were.\n");
    return false;
}

// One slot at a time, so that at most one slot of the pool is ever down.
bool restartSlots(const Supervisor& supervisor, const std::vector<control::SlotStatus>& slots,
                  ULONGLONG restartBegan) {
    for (const control::SlotStatus& slot : slots) {
        if (!restartSlot(supervisor, slot, restartBegan)) {
            return false;
        }
    }
    return true;
}

int runRestart(const std::string& version) {
    const ULONGLONG restartBegan = GetTickCount64();
    const std::vector<Supervisor> supervisors = findSupervisors();
    if (supervisors.empty()) {
        writeOut(kNotRunning);
        return ctl::kExitNotRunning;
    }
    bool anySlot = false;
    for (const Supervisor& supervisor : supervisors) {
        std::string problem;
        const auto report = statusOf(supervisor, problem);
        if (!report) {
            writeError(problem + "\n");
            return ctl::kExitFailed;
        }
        const std::vector<control::SlotStatus> slots = ctl::slotsToRestart(*report, version);
        anySlot = anySlot || !slots.empty();
        if (supervisors.size() > 1 && !slots.empty()) {
            writeOut(processText(supervisor.processId) + ":\n");
        }
        if (!restartSlots(supervisor, slots, restartBegan)) {
            return ctl::kExitFailed;
        }
    }
    if (!anySlot) {
        writeError(version.empty() ? "phpkeeper runs no worker slots.\n"
                                   : "No slot runs version '" + version +
                                         "'; phpkeeperctl status lists the versions.\n");
        return ctl::kExitFailed;
    }
    return ctl::kExitOk;
}

int stopLeavingWorkers(const std::vector<Supervisor>& supervisors) {
    int failures = 0;
    std::vector<const Supervisor*> asked;
    for (const Supervisor& supervisor : supervisors) {
        if (PostMessageA(supervisor.window, WM_CLOSE, 0, 0)) {
            asked.push_back(&supervisor);
            continue;
        }
        writeError(processText(supervisor.processId) + " did not take the close request (error " +
                   std::to_string(GetLastError()) + "); end it in Task Manager.\n");
        ++failures;
    }
    // All were asked first, so they end side by side and the waits overlap.
    for (const Supervisor* supervisor : asked) {
        if (waitForEnd(*supervisor, kStopTimeoutMs)) {
            writeOut("Stopped " + processText(supervisor->processId) +
                     "; its workers keep running.\n");
        } else {
            writeError(processText(supervisor->processId) +
                       " did not end within 5 s of the close request; end it in Task "
                       "Manager.\n");
            ++failures;
        }
    }
    return failures == 0 ? ctl::kExitOk : ctl::kExitFailed;
}

// The file name of a path, found character by character so that a double-byte character is
// never cut.
std::string fileNameOf(const std::string& path) {
    const char* name = path.c_str();
    for (const char* p = path.c_str(); *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    return name;
}

bool runsImage(HANDLE process, const std::string& exePath) {
    char image[MAX_PATH * 2] = {};
    DWORD length = sizeof image;
    return QueryFullProcessImageNameA(process, 0, image, &length) &&
           lstrcmpiA(fileNameOf(image).c_str(), fileNameOf(exePath).c_str()) == 0;
}

struct HeldWorkers {
    std::vector<UniqueHandle> processes;
    std::string ids;
    std::string problems;
};

// Runs while the supervisor, inside its answer, still holds its workers: a worker's ID cannot
// have passed to another process yet, so the handles opened here are its workers'.
void holdWorkers(const std::string& replyText, HeldWorkers& held) {
    const auto reply = control::parseReply(replyText);
    const auto report = reply && reply->ok ? control::parseStatus(reply->records) : std::nullopt;
    if (!report) {
        return;
    }
    for (const control::SlotStatus& slot : report->slots) {
        if (slot.state != control::SlotState::running) {
            continue;
        }
        UniqueHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                        slot.processId));
        if (!process || !runsImage(process.handle, slot.exePath)) {
            held.problems += "worker " + std::to_string(slot.processId) +
                             (process ? " runs another program" : " could not be opened") +
                             ", so it was left alone; ";
            continue;
        }
        held.ids += (held.ids.empty() ? "" : ", ") + std::to_string(slot.processId);
        held.processes.push_back(std::move(process));
    }
}

bool stopWithWorkers(const Supervisor& supervisor) {
    HeldWorkers held;
    const auto text = ask(supervisor, control::formatRequest({control::Verb::stop, 0, 0}),
                          [&held](const std::string& replyText) { holdWorkers(replyText, held); });
    const auto reply = text ? control::parseReply(*text) : std::nullopt;
    if (!reply || !reply->ok) {
        writeError(processText(supervisor.processId) + " did not take the stop request" +
                   (reply ? ": " + ansiToUtf8(reply->error) : "") +
                   "; nothing was stopped. Is it an older phpkeeper?\n");
        return false;
    }
    if (!waitForEnd(supervisor, kStopTimeoutMs)) {
        writeError(processText(supervisor.processId) +
                   " did not end within 5 s; its workers were left running. End it in Task "
                   "Manager.\n");
        return false;
    }
    bool allEnded = held.problems.empty();
    for (const UniqueHandle& process : held.processes) {
        if (!TerminateProcess(process.handle, 1) ||
            WaitForSingleObject(process.handle, kStopTimeoutMs) != WAIT_OBJECT_0) {
            held.problems +=
                "worker " + std::to_string(GetProcessId(process.handle)) + " did not end; ";
            allEnded = false;
        }
    }
    const std::size_t count = held.processes.size();
    writeOut("Stopped " + processText(supervisor.processId) + " and its " + std::to_string(count) +
             (count == 1 ? " worker" : " workers") + (count == 0 ? "" : " (" + held.ids + ")") +
             ".\n");
    if (!allEnded) {
        writeError("But " + held.problems.substr(0, held.problems.size() - 2) +
                   ". End them in Task Manager.\n");
    }
    return allEnded;
}

int runStop(bool workers) {
    const std::vector<Supervisor> supervisors = findSupervisors();
    if (supervisors.empty()) {
        writeOut(kNotRunning);
        return ctl::kExitNotRunning;
    }
    if (!workers) {
        return stopLeavingWorkers(supervisors);
    }
    bool allStopped = true;
    for (const Supervisor& supervisor : supervisors) {
        allStopped = stopWithWorkers(supervisor) && allStopped;
    }
    return allStopped ? ctl::kExitOk : ctl::kExitFailed;
}

}  // namespace

int runCommand(const ctl::Command& command, const std::string& program, const std::string& usage) {
    if (!command.error.empty()) {
        writeError(program + ": " + command.error + "\n" + usage);
        return ctl::kExitUsage;
    }
    switch (command.action) {
        case ctl::Action::help:
            writeOut(usage);
            return ctl::kExitOk;
        case ctl::Action::status:
            return runStatus(command.json);
        case ctl::Action::restart:
            return runRestart(command.version);
        case ctl::Action::stop:
            return runStop(command.workers);
    }
    return ctl::kExitUsage;
}

std::vector<std::string> argumentsOf(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
