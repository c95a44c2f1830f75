// The requests a control tool sends to a supervisor's hidden window and the replies it gets
// back, both as WM_COPYDATA: the one format that the supervisor and the tool build from.
//
// A request is one line of text: "phpkeeper 1 status", "phpkeeper 1 end-worker SLOT PID" or
// "phpkeeper 1 stop". A reply starts with "phpkeeper 1 ok" or "phpkeeper 1 error MESSAGE" on a
// line of its own; an ok reply to status or stop goes on with one record per line, its fields
// separated by tabs, and ends with the line "end". Texts are in the supervisor's ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace control {

inline constexpr int kVersion = 1;
// The dwData of a WM_COPYDATA request and of its reply; anything else is not ours.
inline constexpr std::uintptr_t kRequestTag = 0x504B5251;  // "PKRQ"
inline constexpr std::uintptr_t kReplyTag = 0x504B5250;    // "PKRP"
// No request is longer; a larger WM_COPYDATA is not looked at.
inline constexpr std::size_t kMaxRequestBytes = 256;
// A worker that ends within this time of its start counts as a failed start (a non-zero exit
// code) and waits for the next check, so a worker is only surely up once it has run this long.
inline constexpr std::uint64_t kFailedStartWindowMs = 1000;

enum class Verb { status, endWorker, stop };

struct Request {
    Verb verb = Verb::status;
    int slot = 0;                 // end-worker: the slot, from 1
    std::uint32_t processId = 0;  // end-worker: the worker the asker saw in that slot
};

std::string formatRequest(const Request& request);
// The request that `text` holds, or nothing, with `error` saying in a sentence what is wrong.
std::optional<Request> parseRequest(const std::string& text, std::string& error);

enum class SlotState { running, failing, notStarted };

struct SlotStatus {
    int slot = 0;
    std::string version;
    int port = 0;
    std::uint32_t processId = 0;  // 0 when no worker runs
    SlotState state = SlotState::running;
    std::uint64_t uptimeMs = 0;  // of the current worker
    std::uint32_t starts = 0;    // workers that started in this slot
    std::optional<std::uint32_t> lastExitCode;
    bool lastEndRequested = false;  // the last worker was ended on request
    std::uint64_t nextTryMs = 0;    // failing or not started: time until the check tries again
    std::string exePath;            // what the slot runs, or tried to start
};

struct PoolStatus {
    std::string version;
    int port = 0;
    std::string exePath;
};

// The configuration as the supervisor read it at its start.
struct SettingsStatus {
    std::string file;
    bool fileFound = false;
    std::string path;
    std::string phpver;
    std::string phpnum;  // as written; "3" when the key is missing
    int workersPerVersion = 0;
    std::string phpvers;
};

struct StatusReport {
    std::string folder;
    std::uint64_t uptimeMs = 0;
    SettingsStatus settings;
    std::vector<PoolStatus> pools;
    std::vector<SlotStatus> slots;
};

struct EndedWorker {
    int slot = 0;
    std::uint32_t processId = 0;
};

std::string okReply(const std::string& records = "");
std::string errorReply(const std::string& message);
std::string formatStatus(const StatusReport& report);
std::string formatEnded(const EndedWorker& ended);

struct Reply {
    bool ok = false;
    std::string error;    // when not ok
    std::string records;  // when ok: the lines after the first
};
// Nothing when `text` is not a reply of this version.
std::optional<Reply> parseReply(const std::string& text);
std::optional<StatusReport> parseStatus(const std::string& records);
std::optional<EndedWorker> parseEnded(const std::string& records);

const char* stateName(SlotState state);
// "0xC0000135": how replies and tools write an exit code.
std::string exitCodeHex(std::uint32_t code);

}  // namespace control
