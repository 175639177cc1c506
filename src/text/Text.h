#pragma once
// Small text operations shared by the flows that show what a child process said.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Text {

// Whether the bytes are well-formed UTF-8.
bool isUtf8(std::string_view bytes);

// The bytes when they are well-formed UTF-8, else the empty text.
std::string utf8OrEmpty(std::string_view bytes);

// Removes the given characters from both ends.
std::string trim(std::string_view s, std::string_view chars = " \t\r\n\v\f");

// Splits at line feeds and drops the empty pieces.
std::vector<std::string> nonEmptyLines(std::string_view s);

// The last `n` entries (all when there are fewer), joined with `separator`.
std::string lastJoined(const std::vector<std::string>& lines, std::size_t n,
                       std::string_view separator);

// The text with its first character in upper case (ASCII and Latin-1 letters).
std::string capitalised(std::string_view s);

// A decimal whole number: an optional single "+" or "-", then one or more ASCII digits,
// nothing else, within the signed 64-bit range.
std::optional<std::int64_t> wholeNumber(std::string_view s);

}  // namespace Text
