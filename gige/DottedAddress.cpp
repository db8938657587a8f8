#include "gige/DottedAddress.h"

#include <cstdio>

namespace Kovon {

void Tokenize(const std::string& text, std::vector<std::string>& tokens, const std::string& delimiters) {
    std::string::size_type start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const std::string::size_type end = text.find_first_of(delimiters, start);
        tokens.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(delimiters, end);
    }
}

std::optional<uint32_t> ParseDottedAddress(const std::string& text) {
    std::vector<std::string> parts;
    Tokenize(text, parts, ".");
    if (parts.size() != 4) return std::nullopt;
    uint32_t address = 0;
    for (const std::string& part : parts) {
        if (part.size() > 3) return std::nullopt;
        uint32_t value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (value > 255) return std::nullopt;
        address = (address << 8) | value;
    }
    return address;
}

std::string FormatDottedAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return text;
}

}  // namespace Kovon
