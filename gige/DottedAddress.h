#pragma once
// The dotted IPv4 texts of the interface's force-IP registers.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Kovon {

// Appends to 'tokens' the maximal runs of 'text' that contain none of 'delimiters', in order;
// runs of delimiters only separate tokens, so no token is empty.
void Tokenize(const std::string& text, std::vector<std::string>& tokens, const std::string& delimiters);

// Four decimal parts below 256 separated by dots (empty parts between dots do not count), first
// part in the top byte. Nothing for any other text.
std::optional<uint32_t> ParseDottedAddress(const std::string& text);

// "a.b.c.d" of a host-order address, first octet from the top byte.
std::string FormatDottedAddress(uint32_t address);

}  // namespace Kovon
