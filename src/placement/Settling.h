#pragma once
// Copies of the application on disk: who they are, which version, and which run.
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Settling {

inline constexpr std::string_view fileName = "Quendrel.app";
inline const std::vector<std::string> fileNames = {"Quendrel.app", "Tarvic.app"};
inline const std::set<std::string> identities = {"com.quendrel.manager", "com.tarvicone.manager"};
inline constexpr std::string_view movedFrom = "--moved-from";
inline constexpr std::string_view handedOver = "--handed-over";

// A copy's (version, build).
using Pair = std::pair<std::string, std::string>;

std::optional<std::string> identity(const std::filesystem::path& bundle);
bool isOurs(const std::filesystem::path& bundle);
std::string version(const std::filesystem::path& bundle);
std::string build(const std::filesystem::path& bundle);

// Whether `a` is newer than `b`: the version decides, and the build when versions are equal.
bool newer(const Pair& a, const Pair& b);

// The running application's own (version, build).
Pair running();

// Whether another process runs the bundle at exactly this location.
bool isRunning(const std::filesystem::path& bundle);

// Whether any running application, this one included, has its bundle inside the folder.
bool inUse(const std::filesystem::path& folder);

}  // namespace Settling
