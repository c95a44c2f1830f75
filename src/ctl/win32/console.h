// Text for a person: UTF-8 inside the tool, shown right on any console.
#pragma once

#include <string>

void writeOut(const std::string& utf8);
void writeError(const std::string& utf8);

// A supervisor's text, in the ANSI code page, as UTF-8.
std::string ansiToUtf8(const std::string& ansi);
