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

inline constexpr std::uint32_t kFailCriticalErrors = 0x0001;
inline constexpr std::uint32_t kNoOpenFileErrorBox = 0x8000;

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

// Starts one hidden process with no standard handles; an empty `workingDirectory` leaves it in
// ours. Returns its process ID, or 0 when it did not start. A handle to the process stays held
// until releaseProcessHold, so that its ID cannot pass to another process while it is recorded.
ProcessId spawnHidden(const Text& exePath, const Text& arguments, const Text& workingDirectory);
// Lets go of the handle kept for `id`; never stops the process. 0 holds nothing.
void releaseProcessHold(ProcessId id);

// The IDs of every running process, or nothing when no process list can be taken.
std::optional<std::vector<ProcessId>> listProcesses();

struct WindowHandlers {
    void (*onCreated)();
    void (*onTick)();
};
// Builds the hidden main window with its 10000 ms timer armed, then runs onCreated before
// returning. False when the window cannot be built; no handler has run then.
bool buildMainWindow(WindowHandlers handlers);
// Dispatches messages until the quit message and returns the value it carries.
int runMessageLoop();

}  // namespace platform
