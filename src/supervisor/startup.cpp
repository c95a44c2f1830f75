// Start-up, the first launch and the orderly end.
#include "supervisor/startup.h"

#include <vector>

#include "shared.h"
#include "supervisor/paths.h"
#include "supervisor/settings.h"
#include "workers/launcher.h"
#include "workers/supervision.h"

Text RunDirectory;
Text InstallPath;
Text PhpVersion;

namespace {

// Frees the text's storage, not just its contents.
void release(Text& text) {
    Text().swap(text);
}

struct ReleaseAllOnExit {
    ReleaseAllOnExit() = default;
    ReleaseAllOnExit(const ReleaseAllOnExit&) = delete;
    ReleaseAllOnExit& operator=(const ReleaseAllOnExit&) = delete;
    ~ReleaseAllOnExit() { releaseAll(); }
};

void launchSelectedVersion(int workersPerVersion) {
    InstallPath = resolvePhpRoot(InstallPath, PhpVersion);
    Text arguments;
    launchWorkers(1, workersPerVersion, InstallPath + PhpVersion + kWorkerExeName, 0, arguments);
}

// One pool per listed version, the first on port 9000 and each further one on the next port.
void launchEveryVersion(const std::vector<Text>& versions, int workersPerVersion) {
    InstallPath = resolvePhpRoot(InstallPath, versions.front());
    for (std::size_t i = 0; i < versions.size(); ++i) {
        Text arguments;
        launchWorkers(static_cast<int>(i) + 1, workersPerVersion,
                      InstallPath + versions[i] + kWorkerExeName, 0, arguments);
    }
}

}  // namespace

int runSupervisor() {
    // Workers inherit the mode: a crashing php-cgi.exe must end, not wait behind a dialog that
    // nobody sees while its slot stays empty.
    platform::addErrorModeBits(platform::kFailCriticalErrors | platform::kNoGpFaultErrorBox |
                               platform::kNoOpenFileErrorBox);
    RunDirectory = runDirectoryOf(platform::ownModulePath());
    // Relative paths in the configuration resolve against the program's own folder.
    platform::setCurrentDirectory(RunDirectory);
    Workers.clear();
    const ReleaseAllOnExit cleanup;
    if (!platform::buildMainWindow({&onMainWindowCreated, &onSupervisionTick, &onWorkerEnded})) {
        return kNoWindowExitCode;
    }
    return platform::runMessageLoop();
}

void onMainWindowCreated() {
    SystemDirectory = withTrailingBackslash(platform::systemDirectory());
    const Text file = configFilePath(RunDirectory);
    InstallPath = platform::readSetting(file, "Lanterra", "path", "");
    PhpVersion = platform::readSetting(file, "phpFind", "phpver", "");
    const int workersPerVersion =
        textToInteger(platform::readSetting(file, "phpFind", "phpnum", "3"));
    const std::vector<Text> versions =
        splitVersionList(platform::readSetting(file, "phpFind", "phpvers", ""));
    if (versions.size() >= 2) {
        launchEveryVersion(versions, workersPerVersion);
    } else {
        launchSelectedVersion(workersPerVersion);
    }
}

void releaseAll() {
    release(RunDirectory);
    release(SystemDirectory);
    release(InstallPath);
    release(PhpVersion);
    for (const WorkerRecord& record : Workers) {
        platform::releaseProcessHold(record.processId);
    }
    WorkerTable().swap(Workers);
}
