// Process set-up, the program's own folders, hidden worker starts and the process list.
#include <windows.h>
// Needs the types of windows.h.
#include <psapi.h>

#include <map>

#include "platform/platform.h"
#include "platform/win32/unique_handle.h"

namespace {

constexpr DWORD kPathBufferSize = 260;

// One open handle per recorded worker. While it is open Windows cannot hand the worker's ID to
// another process, so a worker that died can never be mistaken for a stranger that took its ID.
std::map<DWORD, UniqueHandle>& heldProcesses() {
    static std::map<DWORD, UniqueHandle> held;
    return held;
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
        heldProcesses()[started.dwProcessId] = UniqueHandle(started.hProcess);
    }
    return started.dwProcessId;
}

void releaseProcessHold(ProcessId id) {
    heldProcesses().erase(id);
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
