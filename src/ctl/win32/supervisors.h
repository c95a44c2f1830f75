// The running supervisors, found by their hidden windows, and the door to each: a WM_COPYDATA
// request answered by a WM_COPYDATA reply, and the close request.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"

struct Supervisor {
    HWND window;
    DWORD processId;
    UniqueHandle process;  // to wait for its end; may be empty (another user's, say)
};

// Every supervisor window of the desktop; there is no single-instance guard, so maybe several.
std::vector<Supervisor> findSupervisors();

// Sends `request` and returns the reply, in the supervisor's ANSI code page; nothing when it did
// not answer in time. `whileHeld` runs on the reply while the supervisor is still inside its
// answer, holding its workers, so that the IDs in it cannot have passed to another process.
std::optional<std::string> ask(const Supervisor& supervisor, const std::string& request,
                               const std::function<void(const std::string&)>& whileHeld = {});

// Waits up to `timeoutMs` for the supervisor to end.
bool waitForEnd(const Supervisor& supervisor, DWORD timeoutMs);
