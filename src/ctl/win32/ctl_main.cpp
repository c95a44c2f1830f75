// phpkeeperctl: shows the running supervisors' pools, restarts them one worker at a time, stops
// them.
#include "ctl/win32/commands.h"

int main(int argc, char** argv) {
    return runCommand(ctl::parseCtlArguments(argumentsOf(argc, argv)), "phpkeeperctl",
                      ctl::ctlUsage());
}
