// The periodic check that starts a replacement for every worker that has gone.
#pragma once

#include "shared.h"

enum class Liveness { alive, gone, unknown };

// Looks for `processId` in a fresh process list. ID 0 is never a running worker: it is what a
// failed start records, and Windows lists its idle process under it. `unknown` when no list
// could be taken.
Liveness isProcessAlive(ProcessId processId);

// Walks the worker table in order and restarts, in its own slot and with its own executable and
// command line, every worker that is gone.
void onSupervisionTick();
