// The supervisor's life from process start to process end.
#pragma once

#include "platform/platform.h"

// Exit code when the hidden window cannot be built: without it nothing can be supervised.
inline constexpr int kNoWindowExitCode = 2;

extern Text RunDirectory;
extern Text InstallPath;
extern Text PhpVersion;

// The program entry; returns the process exit code: 0 after a close request to the window, the
// quit message's value when one is posted to the thread.
int runSupervisor();

// Reads the configuration, resolves the PHP folder and starts the first workers.
void onMainWindowCreated();

// Frees every remembered text and record. No worker is stopped, signalled or waited for.
void releaseAll();
