// What phpkeeperctl and phpkeeper-stop are asked to do, read from their arguments.
#pragma once

#include <string>
#include <vector>

namespace ctl {

// Exit codes that a script or control panel can branch on.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNotRunning = 1;
inline constexpr int kExitFailed = 2;     // a supervisor or slot did not do what was asked
inline constexpr int kExitUnhealthy = 3;  // status: some slot is failing or not started
inline constexpr int kExitUsage = 64;     // the arguments were not understood

enum class Action { help, status, restart, stop };

struct Command {
    Action action = Action::help;
    bool json = false;     // status --json
    std::string version;   // restart VERSION: only that version's slots
    bool workers = false;  // stop --workers: end the workers too
    std::string error;     // not empty when the arguments were not understood
};

// The arguments after the program's name.
Command parseCtlArguments(const std::vector<std::string>& args);
// phpkeeper-stop.exe: the stop verb alone, so an argument it does not know never stops anything.
Command parseStopArguments(const std::vector<std::string>& args);

std::string ctlUsage();
std::string stopUsage();

}  // namespace ctl
