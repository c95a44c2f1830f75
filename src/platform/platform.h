// The supervisor's one door to the operating system. The build links either the Win32
// implementation (win32/) or the unit tests' scripted fake; nothing here names a Windows type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A byte string in the system's ANSI code page, as the Windows "A" functions take it.
using Text = std::string;
using ProcessId = std::uint32_t;

namespace platform {

// The window class by which the stop tool finds every running supervisor.
inline constexpr char kMainWindowClass[] = "phpkeeper.MainWindow";

// Process error-mode bits; workers inherit the mode on Windows.
inline constexpr std::uint32_t kFailCriticalErrors = 0x0001;
inline constexpr std::uint32_t kNoGpFaultErrorBox = 0x0002;
inline constexpr std::uint32_t kNoOpenFileErrorBox = 0x8000;

inline constexpr std::uint32_t kSupervisionPeriodMs = 10000;

// Adds bits to the process error mode, keeping those already set.
void addErrorModeBits(std::uint32_t bits);
void setCurrentDirectory(const Text& path);

// The running executable's own path, as a 260-byte buffer holds it.
Text ownModulePath();
// The Windows system directory as the platform reports it; empty when the call fails.
Text systemDirectory();
// True for a byte that starts a double-byte character in the ANSI code page.
bool isLeadByte(unsigned char byte);

// A private-profile value (at most 10239 bytes), or `fallback` for a missing file, section or
// key.
Text readSetting(const Text& file, const Text& section, const Text& key, const Text& fallback);
// True when a file-system search for `path` finds an entry; folders and wildcards count.
bool pathExists(const Text& path);

// Milliseconds on a clock that only goes forward.
std::uint64_t nowMs();

// Starts one hidden process with no standard handles; an empty `workingDirectory` leaves it in
// ours. Returns its process ID, or 0 when it did not start. A handle to the process stays held
// until releaseProcessHold, so that its ID cannot pass to another process while it is recorded,
// and it is watched: when the process ends, onWorkerEnded(id) runs on the GUI thread.
ProcessId spawnHidden(const Text& exePath, const Text& arguments, const Text& workingDirectory);
// Stops watching and lets go of the handle kept for `id`; never stops the process. 0 holds
// nothing. No notice for `id` is posted after this returns.
void releaseProcessHold(ProcessId id);
// The exit code of the held process `id` once it has ended; nothing while it still runs, or
// when nothing is held for `id`.
std::optional<std::uint32_t> exitCodeOf(ProcessId id);
// Ends the held process `id` with `exitCode`, through the handle kept for it, so that no other
// process can be hit. False when nothing is held for `id` or Windows refused.
bool endProcess(ProcessId id, std::uint32_t exitCode);

// The IDs of every running process, or nothing when no process list can be taken.
std::optional<std::vector<ProcessId>> listProcesses();

// What the supervisor answers a control request with, and whether it ends once the answer is
// out.
struct RequestAnswer {
    Text reply;
    bool endSupervisor = false;
};

struct WindowHandlers {
    void (*onCreated)();
    void (*onTick)();
    void (*onWorkerEnded)(ProcessId id);
    // A control request sent to the window; its answer goes back to the window that asked.
    RequestAnswer (*onRequest)(const Text& request);
};
// Builds the hidden main window with its 10000 ms timer armed, then runs onCreated before
// returning. False when the window cannot be built; no handler has run then.
bool buildMainWindow(WindowHandlers handlers);
// Dispatches messages until the quit message and returns the value it carries.
int runMessageLoop();

}  // namespace platform
