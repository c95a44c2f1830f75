// Runs what the arguments asked for and returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "ctl/cli.h"

int runCommand(const ctl::Command& command, const std::string& program, const std::string& usage);

std::vector<std::string> argumentsOf(int argc, char** argv);
