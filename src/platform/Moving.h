#pragma once
// Moving an item within its volume the way the file manager does.
#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

// Renames `from` to `to`, never replacing anything at `to`. Gives the system's text for the
// reason when it could not (something in the way, another volume, no such folder, …).
std::optional<std::string> moveItem(const std::filesystem::path& from,
                                    const std::filesystem::path& to);

}  // namespace Platform
