// The worker records and process-wide values that start-up, the launcher and the tick share.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

struct WorkerRecord {
    Text exePath;
    Text arguments;
    ProcessId processId = 0;

    // How the slot has fared; the launcher and the end handler keep these.
    int versionIndex = 1;           // which configured version the slot runs, from 1
    std::uint32_t starts = 0;       // workers that started in this slot
    std::uint64_t startedAtMs = 0;  // when the current worker started
    bool endRequested = false;      // the current worker is being ended on request
    bool failing = false;           // its last worker failed to start; the check starts the next
    std::optional<std::uint32_t> lastExitCode;
    bool lastEndRequested = false;  // the last worker was ended on request
};

// Addressed by position from 1; it only grows, and a restart overwrites a record in place.
using WorkerTable = std::vector<WorkerRecord>;

extern WorkerTable Workers;
// Ends in a backslash, or is empty when the platform could not say; every worker starts there.
extern Text SystemDirectory;
// When the periodic check is next due, on the platform's clock; a slot waiting for the check is
// tried then.
extern std::uint64_t NextCheckAtMs;
