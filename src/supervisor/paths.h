// Folder names: the program's own folder, the system folder and the PHP folder resolution.
#pragma once

#include "platform/platform.h"

inline constexpr char kWorkerExeName[] = "\\php-cgi.exe";

// The module path cut before its last backslash, which is found character by character so
// that a double-byte character whose trail byte is 0x5C is not taken for one. Empty when the
// path has no backslash.
Text runDirectoryOf(const Text& modulePath);

// `folder` with a backslash appended unless it already ends in one; empty stays empty.
Text withTrailingBackslash(const Text& folder);

// The folder to which the version folder name and "\php-cgi.exe" are appended: `installPath`
// itself when it holds the version folders, else `installPath` + "\php\" when that does, else
// `installPath` unchanged.
Text resolvePhpRoot(const Text& installPath, const Text& version);
