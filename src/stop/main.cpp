// phpkeeper-stop: asks every running supervisor to end, through a close request to its hidden
// window, and reports each one. It never touches a worker.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/unique_handle.h"

namespace {

constexpr DWORD kStopTimeoutMs = 5000;

struct Supervisor {
    HWND window;
    DWORD processId;
    UniqueHandle process;
};

// Top-level windows of our class, hidden ones included. There is no single-instance guard, so
// there may be several.
std::vector<Supervisor> findSupervisors() {
    std::vector<Supervisor> found;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, platform::kMainWindowClass, nullptr)) !=
           nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        found.push_back(
            {window, processId, UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, processId))});
    }
    return found;
}

// Without a handle to the process (another user's, say) the window's end is the best sign.
bool waitForEnd(const Supervisor& supervisor) {
    if (supervisor.process) {
        return WaitForSingleObject(supervisor.process.handle, kStopTimeoutMs) == WAIT_OBJECT_0;
    }
    const DWORD started = GetTickCount();
    while (IsWindow(supervisor.window)) {
        if (GetTickCount() - started >= kStopTimeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

}  // namespace

int main() {
    const std::vector<Supervisor> supervisors = findSupervisors();
    if (supervisors.empty()) {
        std::printf("phpkeeper is not running: no supervisor window was found.\n");
        return 1;
    }
    int failures = 0;
    std::vector<const Supervisor*> asked;
    for (const Supervisor& supervisor : supervisors) {
        if (PostMessageA(supervisor.window, WM_CLOSE, 0, 0)) {
            asked.push_back(&supervisor);
            continue;
        }
        std::fprintf(stderr,
                     "phpkeeper (process %lu) did not take the close request (error %lu); "
                     "end it in Task Manager.\n",
                     supervisor.processId, GetLastError());
        ++failures;
    }
    // All were asked first, so they end side by side and the waits overlap.
    for (const Supervisor* supervisor : asked) {
        if (waitForEnd(*supervisor)) {
            std::printf("Stopped phpkeeper (process %lu); its workers keep running.\n",
                        supervisor->processId);
        } else {
            std::fprintf(stderr,
                         "phpkeeper (process %lu) did not end within 5 s of the close request; "
                         "end it in Task Manager.\n",
                         supervisor->processId);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 2;
}
