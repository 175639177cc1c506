#pragma once
// Property lists, XML or binary, as macOS tools write them.
#include <filesystem>
#include <optional>
#include <string>

namespace Platform::Plist {

// The text value under `key` in the top-level dictionary of the property list file.
// Nothing when the file can't be read or parsed, its top level is not a dictionary,
// or the value is missing or not text.
std::optional<std::string> text(const std::filesystem::path& file, const std::string& key);

}  // namespace Platform::Plist
