// The package configuration file: where it is, and how its values are read.
#pragma once

#include <vector>

#include "platform/platform.h"

// RunDirectory followed by "\Lanterra.ini".
Text configFilePath(const Text& runDirectory);

// Reads a "phpnum" value: GBK full-width forms count as their ASCII twins, then leading white
// space, one optional sign and decimal digits up to the first non-digit, accumulated in 32-bit
// arithmetic that wraps. No digits give 0.
int textToInteger(const Text& text);

// Splits a "phpvers" value on commas, dropping ASCII blanks around each name and empty names.
std::vector<Text> splitVersionList(const Text& text);
