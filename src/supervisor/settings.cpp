// Reading the values of the package configuration file.
#include "supervisor/settings.h"

#include <cstdint>

namespace {

// The GBK double-byte characters that stand for ASCII ones: the A3 row mirrors 0x21..0x7E,
// and a few punctuation forms of the A1 row have ASCII twins too. 0 when there is none.
unsigned char asciiTwin(unsigned char lead, unsigned char trail) {
    if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
        return static_cast<unsigned char>(trail - 0x80);
    }
    if (lead == 0xA1) {
        switch (trail) {
            case 0xA1:
                return ' ';
            case 0xAB:
                return '~';
            case 0xEE:
            case 0xEF:
                return '*';
            default:
                break;
        }
    }
    return 0;
}

Text foldFullWidth(const Text& text) {
    Text folded;
    folded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!platform::isLeadByte(byte) || i + 1 == text.size()) {
            folded += text[i];
            continue;
        }
        const auto trail = static_cast<unsigned char>(text[i + 1]);
        const unsigned char twin = asciiTwin(byte, trail);
        if (twin != 0) {
            folded += static_cast<char>(twin);
        } else {
            folded.append(text, i, 2);
        }
        ++i;
    }
    return folded;
}

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

Text configFilePath(const Text& runDirectory) {
    return runDirectory + "\\Lanterra.ini";
}

int textToInteger(const Text& text) {
    const Text folded = foldFullWidth(text);
    std::size_t i = 0;
    while (i < folded.size() && isWhiteSpace(folded[i])) {
        ++i;
    }
    bool negative = false;
    if (i < folded.size() && (folded[i] == '+' || folded[i] == '-')) {
        negative = folded[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;
    for (; i < folded.size() && isDigit(folded[i]); ++i) {
        value = value * 10u + static_cast<std::uint32_t>(folded[i] - '0');
    }
    return static_cast<int>(negative ? 0u - value : value);
}

std::vector<Text> splitVersionList(const Text& text) {
    // No GBK trail byte is below 0x40, so a comma byte is always a comma.
    std::vector<Text> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == Text::npos) {
            end = text.size();
        }
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && isBlank(text[first])) {
            ++first;
        }
        while (last > first && isBlank(text[last - 1])) {
            --last;
        }
        if (last > first) {
            names.push_back(text.substr(first, last - first));
        }
        start = end + 1;
    }
    return names;
}
