#pragma once
// The mount table as this process sees it (/proc/self/mountinfo).
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

struct Mount {
  std::filesystem::path mountPoint;
  std::string type;    // "squashfs", "fuse.squashfuse", "ext4", …
  std::string source;  // "/dev/loop3", "squashfuse", …
};

// Whether the path lies where mounted volumes appear: "/Volumes/" and the usual Linux places
// ("/media/", "/run/media/", "/mnt/").
bool onVolume(std::string_view path);

// Reads mountinfo lines; lines that are not well formed are skipped.
std::vector<Mount> parseMountInfo(std::string_view text);

// The mount table, in mounting order (a later mount covers an earlier one at the same point).
std::vector<Mount> mounts();

// The mount that holds the path, symbolic links resolved: the deepest mount point above it,
// the latest one where several share that point. Nothing when the path cannot be resolved.
std::optional<Mount> mountHolding(const std::filesystem::path& path);

}  // namespace Platform
