// Reading the tools' arguments.
#include "ctl/cli.h"

namespace ctl {

namespace {

bool isHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?" || arg == "help";
}

Command failed(std::string error) {
    Command command;
    command.error = std::move(error);
    return command;
}

Command stopCommand(const std::vector<std::string>& args, std::size_t first) {
    Command command;
    command.action = Action::stop;
    for (std::size_t i = first; i < args.size(); ++i) {
        if (args[i] == "--workers") {
            command.workers = true;
        } else if (isHelp(args[i])) {
            return Command();
        } else {
            return failed("stop: unknown option '" + args[i] + "'");
        }
    }
    return command;
}

}  // namespace

Command parseCtlArguments(const std::vector<std::string>& args) {
    if (args.empty() || isHelp(args[0])) {
        return Command();
    }
    const std::string& verb = args[0];
    Command command;
    if (verb == "status") {
        command.action = Action::status;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] != "--json") {
                return isHelp(args[i]) ? Command()
                                       : failed("status: unknown option '" + args[i] + "'");
            }
            command.json = true;
        }
        return command;
    }
    if (verb == "restart") {
        command.action = Action::restart;
        if (args.size() > 2) {
            return failed("restart: takes at most one version folder name");
        }
        if (args.size() == 2) {
            if (isHelp(args[1])) {
                return Command();
            }
            if (args[1].empty() || args[1][0] == '-') {
                return failed("restart: unknown option '" + args[1] + "'");
            }
            command.version = args[1];
        }
        return command;
    }
    if (verb == "stop") {
        return stopCommand(args, 1);
    }
    return failed("unknown command '" + verb + "'");
}

Command parseStopArguments(const std::vector<std::string>& args) {
    if (!args.empty() && isHelp(args[0])) {
        return Command();
    }
    Command command = stopCommand(args, 0);
    if (!command.error.empty()) {
        command.error = command.error.substr(6);  // without "stop: "
    }
    return command;
}

std::string ctlUsage() {
    return "usage: phpkeeperctl COMMAND\n"
           "  status [--json]    every running phpkeeper, its settings and one line per worker\n"
           "  restart [VERSION]  start every worker afresh, one at a time (after a php.ini "
           "edit)\n"
           "  stop [--workers]   end every phpkeeper; with --workers, the workers it kept too\n"
           "exit codes: 0 done, 1 phpkeeper is not running, 2 something did not work,\n"
           "            3 (status) a worker is failing or not started, 64 bad arguments\n";
}

std::string stopUsage() {
    return "usage: phpkeeper-stop [--workers]\n"
           "  ends every running phpkeeper; its workers keep running, unless --workers is "
           "given\n"
           "exit codes: 0 stopped, 1 phpkeeper is not running, 2 one did not stop, 64 bad "
           "arguments\n";
}

}  // namespace ctl
