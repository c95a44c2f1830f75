// Process set-up, the program's own folders, hidden worker starts and the process list.
#include <windows.h>
// Needs the types of windows.h.
#include <psapi.h>

#include <map>

#include "platform/platform.h"
#include "platform/win32/notices.h"
#include "platform/win32/unique_handle.h"

namespace {

constexpr DWORD kPathBufferSize = 260;

// A worker's handle and the wait that watches it for its end.
struct WatchedProcess {
    UniqueHandle process;
    HANDLE wait = nullptr;

    WatchedProcess() = default;
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;
    // INVALID_HANDLE_VALUE makes the cancel wait for a callback already under way, so no notice
    // is posted once the handle is gone; the handle member closes after this body.
    ~WatchedProcess() {
        if (wait != nullptr) {
            UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
        }
    }
};

// One open handle per recorded worker. While it is open Windows cannot hand the worker's ID to
// another process, so a worker that died can never be mistaken for a stranger that took its ID.
std::map<DWORD, WatchedProcess>& heldProcesses() {
    static std::map<DWORD, WatchedProcess> held;
    return held;
}

VOID CALLBACK onWatchedProcessEnded(PVOID context, BOOLEAN /*timedOut*/) {
    postWorkerEnded(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(context)));
}

// Without the wait the worker's end is still found by the periodic check. The callback only posts
// a message, so it runs in the wait thread itself: no pool worker thread comes and goes for it.
void holdAndWatch(DWORD processId, HANDLE process) {
    heldProcesses().erase(processId);
    WatchedProcess& watched = heldProcesses()[processId];
    watched.process = UniqueHandle(process);
    if (!RegisterWaitForSingleObject(&watched.wait, process, onWatchedProcessEnded,
                                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(processId)),
                                     INFINITE, WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
        watched.wait = nullptr;
    }
}

}  // namespace

namespace platform {

void addErrorModeBits(std::uint32_t bits) {
    SetErrorMode(GetErrorMode() | bits);
}

void setCurrentDirectory(const Text& path) {
    SetCurrentDirectoryA(path.c_str());
}

Text ownModulePath() {
    char buffer[kPathBufferSize] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, kPathBufferSize);
    return Text(buffer, length < kPathBufferSize ? length : kPathBufferSize - 1);
}

Text systemDirectory() {
    char buffer[kPathBufferSize] = {};
    const UINT length = GetSystemDirectoryA(buffer, kPathBufferSize);
    // A result as large as the buffer is the size it would have needed, not a path.
    if (length == 0 || length >= kPathBufferSize) {
        return Text();
    }
    return Text(buffer, length);
}

ProcessId spawnHidden(const Text& exePath, const Text& arguments, const Text& workingDirectory) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    // With STARTF_USESTDHANDLES and the three handles left null, the worker has no standard
    // input, output or error.
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};

    // CreateProcess may write into the command line, so it gets a copy of its own.
    Text commandLine = arguments;
    CreateProcessA(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                   workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                   &started);
    if (started.hThread != nullptr) {
        CloseHandle(started.hThread);
    }
    if (started.hProcess != nullptr) {
        holdAndWatch(started.dwProcessId, started.hProcess);
    }
    return started.dwProcessId;
}

void releaseProcessHold(ProcessId id) {
    heldProcesses().erase(id);
}

// The handle's signal, not STILL_ACTIVE, says whether it ended: a process may exit with 259.
std::optional<std::uint32_t> exitCodeOf(ProcessId id) {
    const auto found = heldProcesses().find(id);
    if (found == heldProcesses().end() ||
        WaitForSingleObject(found->second.process.handle, 0) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(found->second.process.handle, &code)) {
        return std::nullopt;
    }
    return code;
}

bool endProcess(ProcessId id, std::uint32_t exitCode) {
    const auto found = heldProcesses().find(id);
    return found != heldProcesses().end() &&
           TerminateProcess(found->second.process.handle, exitCode) != FALSE;
}

std::uint64_t nowMs() {
    return GetTickCount64();
}

// EnumProcesses gives exactly the IDs the check compares, and under Wine it costs a third of the
// CPU time of a Tool Help snapshot, which a check pays once per worker.
std::optional<std::vector<ProcessId>> listProcesses() {
    std::vector<DWORD> ids(1024);
    for (;;) {
        const auto capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        DWORD filled = 0;
        if (!K32EnumProcesses(ids.data(), capacity, &filled)) {
            return std::nullopt;
        }
        // A full buffer may have cut the list; a busy machine must not make a worker look dead.
        if (filled < capacity) {
            ids.resize(filled / sizeof(DWORD));
            return std::vector<ProcessId>(ids.begin(), ids.end());
        }
        ids.resize(ids.size() * 2);
    }
}

}  // namespace platform
