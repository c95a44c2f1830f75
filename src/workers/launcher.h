// The only place where worker processes are started and recorded.
#pragma once

#include "shared.h"

inline constexpr char kWorkerAddress[] = "127.0.0.1";

// 9000 for version index 1 or less; 8999 + index for the further versions.
int portOf(int versionIndex);
Text portText(int versionIndex);
// The command line every worker of one launch shares: " -b 127.0.0.1:" and the port.
Text workerCommandLine(int versionIndex);

// Starts `count` hidden copies of `exePath` one after another. `slot` 0 appends one record per
// start; slot k (from 1) overwrites record k after each start. An empty `arguments` is filled
// with the command line of `versionIndex` first, so the caller holds that text afterwards.
void launchWorkers(int versionIndex, int count, const Text& exePath, int slot, Text& arguments);
