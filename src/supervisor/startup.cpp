// Start-up, the first launch and the orderly end.
#include "supervisor/startup.h"

#include <vector>

#include "shared.h"
#include "supervisor/control.h"
#include "supervisor/paths.h"
#include "supervisor/settings.h"
#include "workers/launcher.h"
#include "workers/supervision.h"

Text RunDirectory;
Text InstallPath;
Text PhpVersion;
SettingsRead SettingsAsRead;
std::vector<Pool> Pools;
std::uint64_t StartedAtMs = 0;

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
    Pools.push_back({PhpVersion, InstallPath + PhpVersion + kWorkerExeName});
    Text arguments;
    launchWorkers(1, workersPerVersion, Pools.back().exePath, 0, arguments);
}

// One pool per listed version, the first on port 9000 and each further one on the next port.
void launchEveryVersion(const std::vector<Text>& versions, int workersPerVersion) {
    InstallPath = resolvePhpRoot(InstallPath, versions.front());
    for (std::size_t i = 0; i < versions.size(); ++i) {
        Pools.push_back({versions[i], InstallPath + versions[i] + kWorkerExeName});
        Text arguments;
        launchWorkers(static_cast<int>(i) + 1, workersPerVersion, Pools.back().exePath, 0,
                      arguments);
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
    StartedAtMs = platform::nowMs();
    // The timer is armed while the window is built.
    NextCheckAtMs = StartedAtMs + platform::kSupervisionPeriodMs;
    if (!platform::buildMainWindow(
            {&onMainWindowCreated, &onSupervisionTick, &onWorkerEnded, &answerControlRequest})) {
        return kNoWindowExitCode;
    }
    return platform::runMessageLoop();
}

void onMainWindowCreated() {
    SystemDirectory = withTrailingBackslash(platform::systemDirectory());
    const Text file = configFilePath(RunDirectory);
    // The profile functions read a missing file as empty; only the status view tells.
    SettingsAsRead.fileFound = platform::pathExists(file);
    InstallPath = platform::readSetting(file, "Lanterra", "path", "");
    PhpVersion = platform::readSetting(file, "phpFind", "phpver", "");
    SettingsAsRead.path = InstallPath;
    SettingsAsRead.phpver = PhpVersion;
    SettingsAsRead.phpnum = platform::readSetting(file, "phpFind", "phpnum", "3");
    SettingsAsRead.workersPerVersion = textToInteger(SettingsAsRead.phpnum);
    SettingsAsRead.phpvers = platform::readSetting(file, "phpFind", "phpvers", "");
    const std::vector<Text> versions = splitVersionList(SettingsAsRead.phpvers);
    if (versions.size() >= 2) {
        launchEveryVersion(versions, SettingsAsRead.workersPerVersion);
    } else {
        launchSelectedVersion(SettingsAsRead.workersPerVersion);
    }
}

void releaseAll() {
    release(RunDirectory);
    release(SystemDirectory);
    release(InstallPath);
    release(PhpVersion);
    SettingsAsRead = SettingsRead();
    std::vector<Pool>().swap(Pools);
    for (const WorkerRecord& record : Workers) {
        platform::releaseProcessHold(record.processId);
    }
    WorkerTable().swap(Workers);
}
