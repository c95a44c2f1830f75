// The worker records and process-wide values that start-up, the launcher and the tick share.
#pragma once

#include <vector>

#include "platform/platform.h"

struct WorkerRecord {
    Text exePath;
    Text arguments;
    ProcessId processId = 0;
};

// Addressed by position from 1; it only grows, and a restart overwrites a record in place.
using WorkerTable = std::vector<WorkerRecord>;

extern WorkerTable Workers;
// Ends in a backslash, or is empty when the platform could not say; every worker starts there.
extern Text SystemDirectory;
