// Storage for the process-wide values of shared.h.
#include "shared.h"

WorkerTable Workers;
Text SystemDirectory;
std::uint64_t NextCheckAtMs = 0;
