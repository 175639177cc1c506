#pragma once
// Copies of the application on disk: who they are, which version, which run, and starting one.
#include <filesystem>
#include <functional>
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
// The program the bundle opens with (its CFBundleExecutable in Contents/MacOS).
std::optional<std::filesystem::path> program(const std::filesystem::path& bundle);
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

// A question about a location, such as whether a copy could be put there or runs from there.
using Test = std::function<bool(const std::filesystem::path&)>;

// Starts the application at `app` as a new instance, even while a copy of it runs, with the
// arguments; detached from this process. The reason when it could not be started.
std::optional<std::string> openAsNewInstance(const std::filesystem::path& app,
                                             const std::vector<std::string>& arguments);

}  // namespace Settling
