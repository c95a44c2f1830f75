// Folder names built from the module path, the system folder and the configuration.
#include "supervisor/paths.h"

namespace {

// Position of the last backslash that is a character of its own, or npos.
std::size_t lastSeparator(const Text& path) {
    std::size_t found = Text::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (platform::isLeadByte(byte)) {
            ++i;
        } else if (byte == '\\') {
            found = i;
        }
    }
    return found;
}

}  // namespace

Text runDirectoryOf(const Text& modulePath) {
    const std::size_t cut = lastSeparator(modulePath);
    return cut == Text::npos ? Text() : modulePath.substr(0, cut);
}

Text withTrailingBackslash(const Text& folder) {
    if (folder.empty() || (lastSeparator(folder) == folder.size() - 1)) {
        return folder;
    }
    return folder + "\\";
}

Text resolvePhpRoot(const Text& installPath, const Text& version) {
    if (platform::pathExists(installPath + version + kWorkerExeName)) {
        return installPath;
    }
    const Text nested = installPath + "\\php\\";
    if (platform::pathExists(nested + version + kWorkerExeName)) {
        return nested;
    }
    return installPath;
}
