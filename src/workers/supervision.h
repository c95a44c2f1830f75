// Restarting workers that have gone: at once when one ends, and at the periodic check.
#pragma once

#include <cstdint>

#include "control/protocol.h"
#include "shared.h"

enum class Liveness { alive, gone, unknown };

// A worker that ends sooner than this after its start failed to start, whatever its exit code.
inline constexpr std::uint64_t kQuickEndMs = 100;
// A worker that ends with a non-zero code sooner than this after its start failed to start. The
// control tools rely on the same window, so it is part of their protocol.
inline constexpr std::uint64_t kFailedStartWindowMs = control::kFailedStartWindowMs;

// True when an end says the worker never got going (missing DLL, broken php.ini, port taken):
// its slot then waits for the next check instead of being started again at once.
bool endedAsFailedStart(std::uint32_t exitCode, std::uint64_t lifeMs);

// Looks for `processId` in a fresh process list. ID 0 is never a running worker: it is what a
// failed start records, and Windows lists its idle process under it. `unknown` when no list
// could be taken.
Liveness isProcessAlive(ProcessId processId);

// Walks the worker table in order and restarts, in its own slot and with its own executable and
// command line, every worker that is gone.
void onSupervisionTick();

// Told that the worker `processId` ended: restarts its slot at once, unless the end was a failed
// start. A notice that no longer matches the process a record holds changes nothing.
void onWorkerEnded(ProcessId processId);

// The exit code of a worker ended on request; the record says it was asked for.
inline constexpr std::uint32_t kEndedOnRequestExitCode = 1;

// Ends the worker of `slot` (from 1), if that slot still runs `processId`, through the handle
// held for it; its end notice then starts the slot again at once, never counted as a failed
// start. Empty when done; otherwise a sentence that says why not.
Text endWorkerOnRequest(int slot, ProcessId processId);
