// A scripted, strict stand-in for the platform: tests say which files exist, what the
// configuration holds, which processes run and what the message loop delivers; it records
// every call in order and fails the test on a handle released twice.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct Spawn {
    Text exePath;
    Text arguments;
    Text workingDirectory;
    ProcessId id;
};

// One thing the message loop delivers: a timer tick, a worker's end notice, a control request, a
// close request, a quit message with a value, or a step of the test's own between them (a worker
// dying, a file appearing).
struct LoopEvent {
    enum class Kind { tick, ended, request, close, quit, step } kind;
    int value = 0;  // the quit message's value, or the ended worker's ID
    std::function<void()> step;
    Text request;
};

LoopEvent tick();
LoopEvent endNotice(ProcessId id);
LoopEvent controlRequest(const Text& request);
LoopEvent closeRequest();
LoopEvent quitMessage(int value);
LoopEvent step(std::function<void()> action);

struct Platform {
    // What the test scripts.
    Text modulePath = "C:\\pkg\\phpkeeper.exe";
    Text systemDirectory = "C:\\Windows\\system32";
    Text settingsFile = "C:\\pkg\\Lanterra.ini";
    bool settingsFileExists = true;
    std::map<std::pair<Text, Text>, Text> settings;  // (section, key) -> value
    std::set<Text> existingPaths;                    // a spawn succeeds only for these
    bool gbk = true;                                 // lead bytes 0x81..0xFE, as code page 936
    bool windowFails = false;
    bool endProcessFails = false;
    int snapshotFailures = 0;      // this many process lists fail before one succeeds
    bool listsIdleProcess = true;  // Windows always lists its idle process, ID 0
    std::vector<LoopEvent> loop;

    // What the fake observed.
    std::vector<std::string> calls;
    std::vector<Spawn> spawns;
    std::vector<Text> replies;  // to the control requests of the loop
    std::uint32_t errorMode = 0;
    Text currentDirectory;
    std::set<ProcessId> running;
    std::set<ProcessId> held;
    std::map<ProcessId, std::uint32_t> exitCodes;  // of the processes that ended
    ProcessId nextId = 100;
    ProcessId reusedId = 0;  // when set, the next start gets this ID, as Wine hands out a freed one
    std::uint64_t now = 1000000;  // milliseconds; tests move it on
    platform::WindowHandlers handlers{};
};

Platform& state();
// Fresh script, and the program's process-wide values emptied.
void reset();

// A worker ends: killed from outside (exit code 1, as Task Manager ends a process), or by
// itself with a code of its own.
void kill(ProcessId id);
void exitWith(ProcessId id, std::uint32_t exitCode);
void advance(std::uint64_t ms);
void setSetting(const Text& section, const Text& key, const Text& value);
// The recorded calls whose text starts with `prefix`, in order.
std::vector<std::string> callsStartingWith(const std::string& prefix);

}  // namespace fake
