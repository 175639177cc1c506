#pragma once
// Extended attributes of one item, never following a final symbolic link.
#include <filesystem>
#include <optional>
#include <string>

namespace Platform::Attributes {

// The attribute that marks a download as not yet cleared to open (Linux keeps users'
// attributes in the "user." namespace).
inline constexpr const char* quarantine = "user.com.apple.quarantine";

bool has(const std::filesystem::path& path, const std::string& name);

// 0 when removed, else the error number.
int remove(const std::filesystem::path& path, const std::string& name);

// 0 when set, else the error number.
int set(const std::filesystem::path& path, const std::string& name, const std::string& value);

}  // namespace Platform::Attributes
