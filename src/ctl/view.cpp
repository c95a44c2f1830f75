// The status table, the JSON document and the words for exit codes.
#include "ctl/view.h"

#include <algorithm>

namespace ctl {

namespace {

struct ExitWord {
    std::uint32_t code;
    const char* word;
};

// The NTSTATUS values a php-cgi.exe is seen to end with, and its own clean end.
constexpr ExitWord kExitWords[] = {
    {0x00000000, "recycled"},
    {0xC0000005, "crashed: access violation"},
    {0xC000001D, "crashed: illegal instruction"},
    {0xC0000094, "crashed: integer divide by zero"},
    {0xC00000FD, "crashed: stack overflow"},
    {0xC0000409, "crashed: stack buffer overrun"},
    {0xC0000374, "crashed: heap corruption"},
    {0xC0000017, "out of memory"},
    {0xC000007B, "not a valid program for this Windows (32/64-bit?)"},
    {0xC0000135, "DLL not found"},
    {0xC0000139, "DLL entry point not found"},
    {0xC0000142, "DLL failed to initialize"},
    {0xC000013A, "ended by Ctrl+C"},
};

std::string orEmpty(const std::string& value) {
    return value.empty() ? "(empty)" : value;
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// What is known of the slot beyond its columns: why it waits, and until when.
std::string slotNote(const control::SlotStatus& slot) {
    const std::string next = "next try in " + duration(slot.nextTryMs);
    switch (slot.state) {
        case control::SlotState::running:
            return "";
        case control::SlotState::failing:
            return "failed to start; " + next;
        case control::SlotState::notStarted:
            return "could not start " + slot.exePath + "; " + next;
    }
    return "";
}

// The columns a person reads at a glance; the last one, untitled, says why a slot waits.
std::vector<std::vector<std::string>> slotRows(const control::StatusReport& report) {
    std::vector<std::vector<std::string>> rows = {
        {"SLOT", "VERSION", "PORT", "PID", "STATE", "UPTIME", "STARTS", "LAST EXIT", ""}};
    for (const control::SlotStatus& slot : report.slots) {
        const bool running = slot.state == control::SlotState::running;
        rows.push_back(
            {std::to_string(slot.slot), orEmpty(slot.version), std::to_string(slot.port),
             running ? std::to_string(slot.processId) : "-", control::stateName(slot.state),
             running ? duration(slot.uptimeMs) : "-", std::to_string(slot.starts),
             slot.lastExitCode ? exitText(*slot.lastExitCode, slot.lastEndRequested) : "-",
             slotNote(slot)});
    }
    return rows;
}

std::string alignedTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string table;
    for (const auto& row : rows) {
        std::string line = " ";
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += " " + padded(row[column], column + 1 < row.size() ? widths[column] + 1 : 0);
        }
        table += line.erase(line.find_last_not_of(' ') + 1) + "\n";
    }
    return table;
}

std::string supervisorTable(const SupervisorStatus& supervisor) {
    const control::StatusReport& report = supervisor.report;
    const control::SettingsStatus& settings = report.settings;
    std::string text = "phpkeeper (process " + std::to_string(supervisor.processId) + ") in " +
                       orEmpty(report.folder) + ", up " + duration(report.uptimeMs) + "\n";
    const auto setting = [&](const std::string& name, const std::string& value) {
        text += "  " + padded(name, 14) + value + "\n";
    };
    setting(
        "Lanterra.ini",
        settings.file + (settings.fileFound ? "" : " (not found: every setting has its default)"));
    setting("path", orEmpty(settings.path));
    setting("phpver", orEmpty(settings.phpver));
    setting("phpnum", orEmpty(settings.phpnum) + " (" + std::to_string(settings.workersPerVersion) +
                          " workers per version)");
    setting("phpvers", orEmpty(settings.phpvers));
    for (const control::PoolStatus& pool : report.pools) {
        setting("pool", orEmpty(pool.version) + " on port " + std::to_string(pool.port) + ": " +
                            pool.exePath);
    }
    text += "\n";
    if (report.slots.empty()) {
        return text + "  no worker slots: phpnum gives " +
               std::to_string(settings.workersPerVersion) + " workers\n";
    }
    return text + alignedTable(slotRows(report));
}

// The texts are UTF-8 already; JSON needs only quotes, backslashes and control bytes escaped.
std::string jsonText(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            quoted += "\\u00";
            quoted += "0123456789abcdef"[byte >> 4];
            quoted += "0123456789abcdef"[byte & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string jsonBool(bool value) {
    return value ? "true" : "false";
}

std::string slotJson(const control::SlotStatus& slot) {
    const bool running = slot.state == control::SlotState::running;
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    return std::string("{") + "\"slot\": " + number(static_cast<std::uint64_t>(slot.slot)) +
           ", \"version\": " + jsonText(slot.version) +
           ", \"port\": " + number(static_cast<std::uint64_t>(slot.port)) +
           ", \"pid\": " + (running ? number(slot.processId) : "null") +
           ", \"state\": " + jsonText(control::stateName(slot.state)) +
           ", \"uptimeMs\": " + (running ? number(slot.uptimeMs) : "null") +
           ", \"starts\": " + number(slot.starts) +
           ", \"lastExitCode\": " + (slot.lastExitCode ? number(*slot.lastExitCode) : "null") +
           ", \"lastExit\": " +
           (slot.lastExitCode ? jsonText(exitText(*slot.lastExitCode, slot.lastEndRequested))
                              : "null") +
           ", \"endedOnRequest\": " + jsonBool(slot.lastEndRequested) +
           ", \"nextTryMs\": " + (running ? "null" : number(slot.nextTryMs)) +
           ", \"exe\": " + jsonText(slot.exePath) + "}";
}

std::string supervisorJson(const SupervisorStatus& supervisor) {
    const control::StatusReport& report = supervisor.report;
    const control::SettingsStatus& settings = report.settings;
    std::string json = "    {\n";
    json += "      \"pid\": " + std::to_string(supervisor.processId) + ",\n";
    json += "      \"folder\": " + jsonText(report.folder) + ",\n";
    json += "      \"uptimeMs\": " + std::to_string(report.uptimeMs) + ",\n";
    json += "      \"healthy\": " + jsonBool(healthy(report)) + ",\n";
    json += "      \"config\": {\"file\": " + jsonText(settings.file) +
            ", \"found\": " + jsonBool(settings.fileFound) + "},\n";
    json += "      \"settings\": {\"path\": " + jsonText(settings.path) +
            ", \"phpver\": " + jsonText(settings.phpver) +
            ", \"phpnum\": " + jsonText(settings.phpnum) +
            ", \"workersPerVersion\": " + std::to_string(settings.workersPerVersion) +
            ", \"phpvers\": " + jsonText(settings.phpvers) + "},\n";
    json += "      \"pools\": [";
    for (std::size_t i = 0; i < report.pools.size(); ++i) {
        const control::PoolStatus& pool = report.pools[i];
        json += std::string(i == 0 ? "\n" : ",\n") +
                "        {\"version\": " + jsonText(pool.version) +
                ", \"port\": " + std::to_string(pool.port) +
                ", \"exe\": " + jsonText(pool.exePath) + "}";
    }
    json += report.pools.empty() ? "],\n" : "\n      ],\n";
    json += "      \"slots\": [";
    for (std::size_t i = 0; i < report.slots.size(); ++i) {
        json += std::string(i == 0 ? "\n" : ",\n") + "        " + slotJson(report.slots[i]);
    }
    json += report.slots.empty() ? "]\n" : "\n      ]\n";
    return json + "    }";
}

}  // namespace

std::string statusTable(const std::vector<SupervisorStatus>& supervisors) {
    std::string text;
    for (std::size_t i = 0; i < supervisors.size(); ++i) {
        text += (i == 0 ? "" : "\n") + supervisorTable(supervisors[i]);
    }
    return text;
}

std::string statusJson(const std::vector<SupervisorStatus>& supervisors) {
    bool allHealthy = !supervisors.empty();
    std::string list;
    for (std::size_t i = 0; i < supervisors.size(); ++i) {
        allHealthy = allHealthy && healthy(supervisors[i].report);
        list += (i == 0 ? "\n" : ",\n") + supervisorJson(supervisors[i]);
    }
    return "{\n  \"version\": " + std::to_string(control::kVersion) +
           ",\n  \"healthy\": " + jsonBool(allHealthy) + ",\n  \"supervisors\": [" + list +
           (supervisors.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

bool healthy(const control::StatusReport& report) {
    return !report.slots.empty() &&
           std::all_of(report.slots.begin(), report.slots.end(),
                       [](const auto& slot) { return slot.state == control::SlotState::running; });
}

std::string duration(std::uint64_t ms) {
    const std::uint64_t seconds = ms / 1000;
    const auto two = [](std::uint64_t value) {
        return (value < 10 ? "0" : "") + std::to_string(value);
    };
    if (seconds < 60) {
        return std::to_string(seconds) + "s";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + "m " + two(seconds % 60) + "s";
    }
    if (seconds < 86400) {
        return std::to_string(seconds / 3600) + "h " + two(seconds / 60 % 60) + "m";
    }
    return std::to_string(seconds / 86400) + "d " + two(seconds / 3600 % 24) + "h";
}

std::string exitText(std::uint32_t code, bool endedOnRequest) {
    if (endedOnRequest) {
        return control::exitCodeHex(code) + " ended on request";
    }
    for (const ExitWord& known : kExitWords) {
        if (known.code == code) {
            return control::exitCodeHex(code) + " " + known.word;
        }
    }
    return control::exitCodeHex(code);
}

std::vector<control::SlotStatus> slotsToRestart(const control::StatusReport& report,
                                                const std::string& version) {
    std::vector<control::SlotStatus> slots;
    for (const control::SlotStatus& slot : report.slots) {
        if (version.empty() || slot.version == version) {
            slots.push_back(slot);
        }
    }
    return slots;
}

bool cameBack(const control::SlotStatus& now, const control::SlotStatus& before) {
    if (now.state != control::SlotState::running || now.processId == before.processId) {
        return false;
    }
    const bool recycledSince = now.starts >= before.starts + 2 && now.lastExitCode == 0u;
    return now.uptimeMs >= control::kFailedStartWindowMs || recycledSince;
}

}  // namespace ctl
