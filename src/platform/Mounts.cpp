#include "platform/Mounts.h"

#include <fstream>
#include <sstream>

namespace Platform {
namespace {

// mountinfo writes space, tab, line feed and backslash as three octal digits after a backslash.
std::string unescaped(std::string_view field) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    std::size_t end = line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    if (end > at) out.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

bool within(const std::string& path, const std::string& mountPoint) {
  if (mountPoint == "/") return true;
  return path == mountPoint ||
         (path.size() > mountPoint.size() && path.compare(0, mountPoint.size(), mountPoint) == 0 &&
          path[mountPoint.size()] == '/');
}

}  // namespace

bool onVolume(std::string_view path) {
  for (std::string_view volumes : {"/Volumes/", "/media/", "/run/media/", "/mnt/"}) {
    if (path.starts_with(volumes)) return true;
  }
  return false;
}

std::vector<Mount> parseMountInfo(std::string_view text) {
  // id parent major:minor root mount-point options [optional fields…] - type source super-options
  std::vector<Mount> table;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    auto parts = fields(text.substr(at, end - at));
    at = end + 1;
    std::size_t dash = 6;
    while (dash < parts.size() && parts[dash] != "-") ++dash;
    if (parts.size() < 6 || dash + 2 >= parts.size()) continue;
    table.push_back({unescaped(parts[4]), unescaped(parts[dash + 1]), unescaped(parts[dash + 2])});
  }
  return table;
}

std::vector<Mount> mounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream text;
  text << in.rdbuf();
  return parseMountInfo(text.str());
}

std::optional<Mount> mountHolding(const std::filesystem::path& path) {
  std::error_code error;
  const std::string resolved = std::filesystem::canonical(path, error).string();
  if (error) return std::nullopt;
  std::optional<Mount> best;
  for (auto& mount : mounts()) {
    const std::string point = mount.mountPoint.string();
    if (!within(resolved, point)) continue;
    if (!best || point.size() >= best->mountPoint.string().size()) best = std::move(mount);
  }
  return best;
}

}  // namespace Platform
