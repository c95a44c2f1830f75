// The supervisor's life from process start to process end.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

// Exit code when the hidden window cannot be built: without it nothing can be supervised.
inline constexpr int kNoWindowExitCode = 2;

// The configuration as it was read at start, kept for the status view.
struct SettingsRead {
    bool fileFound = false;
    Text path;
    Text phpver;
    Text phpnum;  // as written; "3" when the key is missing
    int workersPerVersion = 0;
    Text phpvers;
};

// One pool per configured version; a record's version index is its position, from 1.
struct Pool {
    Text version;
    Text exePath;
};

extern Text RunDirectory;
extern Text InstallPath;
extern Text PhpVersion;
extern SettingsRead SettingsAsRead;
extern std::vector<Pool> Pools;
extern std::uint64_t StartedAtMs;

// The program entry; returns the process exit code: 0 after a close request to the window, the
// quit message's value when one is posted to the thread.
int runSupervisor();

// Reads the configuration, resolves the PHP folder and starts the first workers.
void onMainWindowCreated();

// Frees every remembered text and record. No worker is stopped, signalled or waited for.
void releaseAll();
