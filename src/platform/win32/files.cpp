// The configuration file, file-system probes and the ANSI code page.
#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace {

constexpr DWORD kSettingBufferSize = 10240;

// Leading control bytes and blanks are not part of a name.
const char* skipLeadingBlanks(const Text& name) {
    const char* p = name.c_str();
    while (*p >= 0x01 && *p <= 0x20) {
        ++p;
    }
    return p;
}

}  // namespace

namespace platform {

bool isLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != FALSE;
}

Text readSetting(const Text& file, const Text& section, const Text& key, const Text& fallback) {
    const char* fileName = skipLeadingBlanks(file);
    const char* sectionName = skipLeadingBlanks(section);
    const char* keyName = skipLeadingBlanks(key);
    // An empty section or key would ask the profile API for a list of names instead of a value.
    if (*fileName == '\0' || *sectionName == '\0' || *keyName == '\0') {
        return Text();
    }
    std::vector<char> buffer(kSettingBufferSize, '\0');
    const DWORD length = GetPrivateProfileStringA(sectionName, keyName, fallback.c_str(),
                                                  buffer.data(), kSettingBufferSize, fileName);
    return Text(buffer.data(), length);
}

bool pathExists(const Text& path) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return true;
}

}  // namespace platform
