// Building and reading the control requests and replies.
#include "control/protocol.h"

#include <climits>

namespace control {

namespace {

constexpr char kMagic[] = "phpkeeper";
constexpr std::size_t kShownTokenBytes = 32;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// Decimal digits only, no sign, at most `largest`.
std::optional<std::uint64_t> parseNumber(const std::string& text, std::uint64_t largest) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (largest - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<int> parseInt(const std::string& text) {
    const auto value = parseNumber(text, INT_MAX);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

// "phpnum" may give a negative count.
std::optional<int> parseSignedInt(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const auto value = parseInt(negative ? text.substr(1) : text);
    return value ? std::optional<int>(negative ? -*value : *value) : std::nullopt;
}

std::optional<std::uint32_t> parseId(const std::string& text) {
    const auto value = parseNumber(text, UINT32_MAX);
    return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value)) : std::nullopt;
}

// Tabs and line ends separate fields and records; no path contains them, but a setting may.
std::string field(const std::string& text) {
    std::string safe = text;
    for (char& c : safe) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = '?';
        }
    }
    return safe;
}

// A piece of somebody else's input, safe to put into one line of an error message.
std::string shown(const std::string& token) {
    return "'" + field(token.substr(0, kShownTokenBytes)) +
           (token.size() > kShownTokenBytes ? "...'" : "'");
}

std::optional<std::uint32_t> parseHex(const std::string& text) {
    if (text.size() != 10 || text.compare(0, 2, "0x") != 0) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

std::string header() {
    return std::string(kMagic) + " " + std::to_string(kVersion);
}

std::optional<SlotState> parseState(const std::string& text) {
    for (const SlotState state : {SlotState::running, SlotState::failing, SlotState::notStarted}) {
        if (text == stateName(state)) {
            return state;
        }
    }
    return std::nullopt;
}

std::string join(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        line += (i == 0 ? "" : "\t") + fields[i];
    }
    return line + "\n";
}

std::optional<SlotStatus> parseSlot(const std::vector<std::string>& f) {
    if (f.size() != 12) {
        return std::nullopt;
    }
    SlotStatus slot;
    const auto number = parseInt(f[1]);
    const auto port = parseInt(f[3]);
    const auto processId = parseId(f[4]);
    const auto state = parseState(f[5]);
    const auto uptime = parseNumber(f[6], UINT64_MAX);
    const auto starts = parseId(f[7]);
    const auto exitCode = parseHex(f[8]);
    const auto nextTry = parseNumber(f[10], UINT64_MAX);
    if (!number || !port || !processId || !state || !uptime || !starts ||
        (!exitCode && f[8] != "-") || (f[9] != "0" && f[9] != "1") || !nextTry) {
        return std::nullopt;
    }
    slot.slot = *number;
    slot.version = f[2];
    slot.port = *port;
    slot.processId = *processId;
    slot.state = *state;
    slot.uptimeMs = *uptime;
    slot.starts = *starts;
    slot.lastExitCode = exitCode;
    slot.lastEndRequested = f[9] == "1";
    slot.nextTryMs = *nextTry;
    slot.exePath = f[11];
    return slot;
}

// One record into the report; false when the record is malformed. Records of other kinds are
// skipped, so that a newer supervisor may add some.
bool readRecord(const std::vector<std::string>& f, StatusReport& report) {
    const std::string& kind = f[0];
    if (kind != "supervisor" && kind != "config" && kind != "setting" && kind != "pool" &&
        kind != "slot") {
        return true;
    }
    if (f.size() < 3) {
        return false;
    }
    SettingsStatus& settings = report.settings;
    if (kind == "supervisor") {
        const auto uptime = f.size() == 3 ? parseNumber(f[1], UINT64_MAX) : std::nullopt;
        report.uptimeMs = uptime.value_or(0);
        report.folder = f.back();
        return uptime.has_value();
    }
    if (kind == "config") {
        settings.fileFound = f[1] == "found";
        settings.file = f.back();
        return f.size() == 3 && (f[1] == "found" || f[1] == "missing");
    }
    if (kind == "setting" && f.size() == 4 && f[1] == "phpnum") {
        const auto count = parseSignedInt(f[3]);
        settings.phpnum = f[2];
        settings.workersPerVersion = count.value_or(0);
        return count.has_value();
    }
    if (kind == "setting") {
        std::string* value = f[1] == "path"      ? &settings.path
                             : f[1] == "phpver"  ? &settings.phpver
                             : f[1] == "phpvers" ? &settings.phpvers
                                                 : nullptr;
        if (value != nullptr && f.size() == 3) {
            *value = f[2];
        }
        return f.size() == 3;
    }
    if (kind == "pool") {
        const auto port = f.size() == 4 ? parseInt(f[2]) : std::nullopt;
        if (port) {
            report.pools.push_back({f[1], *port, f[3]});
        }
        return port.has_value();
    }
    const auto slot = parseSlot(f);
    if (slot) {
        report.slots.push_back(*slot);
    }
    return slot.has_value();
}

}  // namespace

const char* stateName(SlotState state) {
    switch (state) {
        case SlotState::running:
            return "running";
        case SlotState::failing:
            return "failing";
        case SlotState::notStarted:
            return "not started";
    }
    return "?";
}

// Written by hand: the printf family would pull MinGW's own formatter into phpkeeper.exe.
std::string exitCodeHex(std::uint32_t code) {
    std::string text = "0x00000000";
    for (std::size_t i = text.size() - 1; code != 0; --i, code >>= 4) {
        text[i] = "0123456789ABCDEF"[code & 0xF];
    }
    return text;
}

std::string formatRequest(const Request& request) {
    switch (request.verb) {
        case Verb::status:
            return header() + " status";
        case Verb::stop:
            return header() + " stop";
        case Verb::endWorker:
            return header() + " end-worker " + std::to_string(request.slot) + " " +
                   std::to_string(request.processId);
    }
    return header();
}

std::optional<Request> parseRequest(const std::string& text, std::string& error) {
    const std::vector<std::string> words = split(text, ' ');
    if (words[0] != kMagic) {
        error = "not a phpkeeper request";
        return std::nullopt;
    }
    if (words.size() < 3) {
        error = "a request needs a version and a verb";
        return std::nullopt;
    }
    if (words[1] != std::to_string(kVersion)) {
        error = "request version " + shown(words[1]) + " is not spoken here; this supervisor " +
                "speaks version " + std::to_string(kVersion);
        return std::nullopt;
    }
    const std::string& verb = words[2];
    Request request;
    if (verb == "status" || verb == "stop") {
        request.verb = verb == "status" ? Verb::status : Verb::stop;
        if (words.size() != 3) {
            error = shown(verb) + " takes no arguments";
            return std::nullopt;
        }
        return request;
    }
    if (verb == "end-worker") {
        request.verb = Verb::endWorker;
        const auto slot = words.size() == 5 ? parseInt(words[3]) : std::nullopt;
        const auto processId = words.size() == 5 ? parseId(words[4]) : std::nullopt;
        if (!slot || *slot < 1 || !processId || *processId == 0) {
            error = "'end-worker' takes a slot number (from 1) and a process ID";
            return std::nullopt;
        }
        request.slot = *slot;
        request.processId = *processId;
        return request;
    }
    error = "unknown request " + shown(verb);
    return std::nullopt;
}

std::string okReply(const std::string& records) {
    return header() + " ok\n" + records;
}

std::string errorReply(const std::string& message) {
    return header() + " error " + field(message) + "\n";
}

std::string formatStatus(const StatusReport& report) {
    const SettingsStatus& settings = report.settings;
    std::string records =
        join({"supervisor", std::to_string(report.uptimeMs), field(report.folder)});
    records += join({"config", settings.fileFound ? "found" : "missing", field(settings.file)});
    records += join({"setting", "path", field(settings.path)});
    records += join({"setting", "phpver", field(settings.phpver)});
    records += join(
        {"setting", "phpnum", field(settings.phpnum), std::to_string(settings.workersPerVersion)});
    records += join({"setting", "phpvers", field(settings.phpvers)});
    for (const PoolStatus& pool : report.pools) {
        records +=
            join({"pool", field(pool.version), std::to_string(pool.port), field(pool.exePath)});
    }
    for (const SlotStatus& slot : report.slots) {
        records += join(
            {"slot", std::to_string(slot.slot), field(slot.version), std::to_string(slot.port),
             std::to_string(slot.processId), stateName(slot.state), std::to_string(slot.uptimeMs),
             std::to_string(slot.starts), slot.lastExitCode ? exitCodeHex(*slot.lastExitCode) : "-",
             slot.lastEndRequested ? "1" : "0", std::to_string(slot.nextTryMs),
             field(slot.exePath)});
    }
    return records + "end\n";
}

std::string formatEnded(const EndedWorker& ended) {
    return join({"ended", std::to_string(ended.slot), std::to_string(ended.processId)}) + "end\n";
}

std::optional<Reply> parseReply(const std::string& text) {
    const std::size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos) {
        return std::nullopt;
    }
    const std::string first = text.substr(0, lineEnd);
    const std::string ok = header() + " ok";
    const std::string error = header() + " error ";
    Reply reply;
    if (first == ok) {
        reply.ok = true;
        reply.records = text.substr(lineEnd + 1);
        return reply;
    }
    if (first.compare(0, error.size(), error) == 0) {
        reply.error = first.substr(error.size());
        return reply;
    }
    return std::nullopt;
}

std::optional<StatusReport> parseStatus(const std::string& records) {
    StatusReport report;
    bool ended = false;
    std::vector<std::string> lines = split(records, '\n');
    // The last line end leaves one empty piece behind.
    if (lines.back().empty()) {
        lines.pop_back();
    }
    for (const std::string& line : lines) {
        if (ended || line.empty()) {
            return std::nullopt;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        if (!readRecord(split(line, '\t'), report)) {
            return std::nullopt;
        }
    }
    if (!ended) {
        return std::nullopt;
    }
    return report;
}

std::optional<EndedWorker> parseEnded(const std::string& records) {
    const std::vector<std::string> lines = split(records, '\n');
    if (lines.size() != 3 || lines[1] != "end" || !lines[2].empty()) {
        return std::nullopt;
    }
    const std::vector<std::string> f = split(lines[0], '\t');
    if (f.size() != 3 || f[0] != "ended") {
        return std::nullopt;
    }
    const auto slot = parseInt(f[1]);
    const auto processId = parseId(f[2]);
    if (!slot || !processId) {
        return std::nullopt;
    }
    return EndedWorker{*slot, *processId};
}

}  // namespace control
