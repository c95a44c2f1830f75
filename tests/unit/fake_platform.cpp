// The scripted platform the unit tests link in place of the Win32 one.
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "shared.h"
#include "supervisor/startup.h"

namespace fake {

namespace {

Platform& current() {
    static Platform platform;
    return platform;
}

void log(std::string call) {
    current().calls.push_back(std::move(call));
}

}  // namespace

LoopEvent tick() {
    return {LoopEvent::Kind::tick, 0, {}, {}};
}
LoopEvent endNotice(ProcessId id) {
    return {LoopEvent::Kind::ended, static_cast<int>(id), {}, {}};
}
LoopEvent controlRequest(const Text& request) {
    return {LoopEvent::Kind::request, 0, {}, request};
}
LoopEvent closeRequest() {
    return {LoopEvent::Kind::close, 0, {}, {}};
}
LoopEvent quitMessage(int value) {
    return {LoopEvent::Kind::quit, value, {}, {}};
}
LoopEvent step(std::function<void()> action) {
    return {LoopEvent::Kind::step, 0, std::move(action), {}};
}

Platform& state() {
    return current();
}

void reset() {
    current() = Platform{};
    Workers.clear();
    SystemDirectory.clear();
    RunDirectory.clear();
    InstallPath.clear();
    PhpVersion.clear();
}

void kill(ProcessId id) {
    exitWith(id, 1);
}

void exitWith(ProcessId id, std::uint32_t exitCode) {
    if (current().running.erase(id) != 0) {
        current().exitCodes[id] = exitCode;
    }
}

void advance(std::uint64_t ms) {
    current().now += ms;
}

void setSetting(const Text& section, const Text& key, const Text& value) {
    current().settings[{section, key}] = value;
}

std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : current().calls) {
        if (call.rfind(prefix, 0) == 0) {
            found.push_back(call);
        }
    }
    return found;
}

}  // namespace fake

namespace platform {

using fake::current;
using fake::log;

void addErrorModeBits(std::uint32_t bits) {
    char text[32];
    std::snprintf(text, sizeof text, "addErrorModeBits 0x%04x", static_cast<unsigned>(bits));
    log(text);
    current().errorMode |= bits;
}

void setCurrentDirectory(const Text& path) {
    log("setCurrentDirectory " + path);
    current().currentDirectory = path;
}

Text ownModulePath() {
    log("ownModulePath");
    return current().modulePath;
}

Text systemDirectory() {
    log("systemDirectory");
    return current().systemDirectory;
}

bool isLeadByte(unsigned char byte) {
    return current().gbk && byte >= 0x81 && byte <= 0xFE;
}

Text readSetting(const Text& file, const Text& section, const Text& key, const Text& fallback) {
    log("readSetting " + file + " " + section + " " + key);
    const fake::Platform& p = current();
    if (file != p.settingsFile || !p.settingsFileExists) {
        return fallback;
    }
    const auto found = p.settings.find({section, key});
    return found == p.settings.end() ? fallback : found->second;
}

bool pathExists(const Text& path) {
    log("pathExists " + path);
    const fake::Platform& p = current();
    return path == p.settingsFile ? p.settingsFileExists : p.existingPaths.count(path) != 0;
}

std::uint64_t nowMs() {
    return current().now;
}

ProcessId spawnHidden(const Text& exePath, const Text& arguments, const Text& workingDirectory) {
    log("spawnHidden " + exePath);
    fake::Platform& p = current();
    ProcessId id = 0;
    if (p.existingPaths.count(exePath) != 0) {
        id = p.reusedId != 0 ? std::exchange(p.reusedId, 0) : p.nextId++;
        if (p.held.count(id) != 0) {
            ADD_FAILURE() << "Windows gave out ID " << id << " while a handle to it was held";
        }
        p.running.insert(id);
        p.exitCodes.erase(id);
        p.held.insert(id);
    }
    p.spawns.push_back({exePath, arguments, workingDirectory, id});
    return id;
}

void releaseProcessHold(ProcessId id) {
    if (id == 0) {
        return;
    }
    log("releaseProcessHold " + std::to_string(id));
    if (current().held.erase(id) == 0) {
        ADD_FAILURE() << "process " << id << " released without being held";
    }
}

std::optional<std::uint32_t> exitCodeOf(ProcessId id) {
    const fake::Platform& p = current();
    if (p.held.count(id) == 0 || p.running.count(id) != 0) {
        return std::nullopt;
    }
    const auto code = p.exitCodes.find(id);
    return code == p.exitCodes.end() ? 1u : code->second;
}

bool endProcess(ProcessId id, std::uint32_t exitCode) {
    log("endProcess " + std::to_string(id));
    fake::Platform& p = current();
    if (p.endProcessFails || p.held.count(id) == 0 || p.running.count(id) == 0) {
        return false;
    }
    fake::exitWith(id, exitCode);
    return true;
}

std::optional<std::vector<ProcessId>> listProcesses() {
    log("listProcesses");
    fake::Platform& p = current();
    if (p.snapshotFailures > 0) {
        --p.snapshotFailures;
        return std::nullopt;
    }
    std::vector<ProcessId> ids;
    if (p.listsIdleProcess) {
        ids.push_back(0);
    }
    ids.insert(ids.end(), p.running.begin(), p.running.end());
    return ids;
}

bool buildMainWindow(WindowHandlers handlers) {
    log("buildMainWindow");
    if (current().windowFails) {
        return false;
    }
    current().handlers = handlers;
    handlers.onCreated();
    return true;
}

int runMessageLoop() {
    log("runMessageLoop");
    // Copied, so a step may change the script without pulling the loop out from under us.
    const std::vector<fake::LoopEvent> events = current().loop;
    for (const fake::LoopEvent& event : events) {
        switch (event.kind) {
            case fake::LoopEvent::Kind::tick:
                log("tick");
                current().handlers.onTick();
                break;
            case fake::LoopEvent::Kind::ended:
                log("endNotice " + std::to_string(event.value));
                current().handlers.onWorkerEnded(static_cast<ProcessId>(event.value));
                break;
            case fake::LoopEvent::Kind::request: {
                log("controlRequest");
                const RequestAnswer answer = current().handlers.onRequest(event.request);
                current().replies.push_back(answer.reply);
                // The window is destroyed once the answer is out; the loop ends as on a close.
                if (answer.endSupervisor) {
                    return 0;
                }
                break;
            }
            case fake::LoopEvent::Kind::step:
                event.step();
                break;
            case fake::LoopEvent::Kind::close:
                return 0;
            case fake::LoopEvent::Kind::quit:
                return event.value;
        }
    }
    ADD_FAILURE() << "the scripted message loop ran out without a close request or quit message";
    return -1;
}

}  // namespace platform
