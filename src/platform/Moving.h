#pragma once
// Moving an item the way the file manager does: a rename within its volume, a checked copy
// across volumes.
#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

// Moves `from` to `to`, never replacing anything at `to`. Within a file system it is one
// rename; across file systems the item is copied beside `to` under a hidden name, the copy is
// checked against the original, put in place, and only then is the original removed. Gives the
// system's text for the reason when it could not (something in the way, no such folder, …);
// the original is then where it was and no copy is left.
std::optional<std::string> moveItem(const std::filesystem::path& from,
                                    const std::filesystem::path& to);

}  // namespace Platform
