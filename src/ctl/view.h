// What phpkeeperctl makes of the supervisors' status replies: the table a person reads, the JSON
// a script reads, and the few judgements both rest on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/protocol.h"

namespace ctl {

// One running supervisor, as it answered; its texts are UTF-8 by now.
struct SupervisorStatus {
    std::uint32_t processId = 0;
    control::StatusReport report;
};

std::string statusTable(const std::vector<SupervisorStatus>& supervisors);
std::string statusJson(const std::vector<SupervisorStatus>& supervisors);

// Every slot runs a worker, and there is at least one slot.
bool healthy(const control::StatusReport& report);

// "2h 03m", "45s": a duration as the table shows it.
std::string duration(std::uint64_t ms);
// "0xC0000135 DLL not found": an exit code with a word where Windows has one.
std::string exitText(std::uint32_t code, bool endedOnRequest);

// The slots that a rolling restart goes through, in order: every slot, or those of `version`.
std::vector<control::SlotStatus> slotsToRestart(const control::StatusReport& report,
                                                const std::string& version);
// True once the slot, whose worker was `before` when it was ended on request, runs a later
// worker and the start is known to have worked: a worker has outlived the failed-start window,
// or the replacement already recycled itself cleanly (exit code 0) and was replaced in turn.
bool cameBack(const control::SlotStatus& now, const control::SlotStatus& before);

}  // namespace ctl
