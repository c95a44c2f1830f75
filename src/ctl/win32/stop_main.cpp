// phpkeeper-stop: the stop verb of phpkeeperctl under the name that control panels call.
#include "ctl/win32/commands.h"

int main(int argc, char** argv) {
    return runCommand(ctl::parseStopArguments(argumentsOf(argc, argv)), "phpkeeper-stop",
                      ctl::stopUsage());
}
