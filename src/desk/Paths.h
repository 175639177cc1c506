#pragma once
// Where the desk lives on this computer, under which agent label it runs, and its port.
// Every answer looks at the file system and the environment afresh.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Paths {

inline constexpr std::string_view newLabel = "com.quendrel.desk";
inline constexpr std::string_view oldLabel = "com.tarvicone.tarvic";

std::filesystem::path movedInstall();  // ~/Library/Application Support/Quendrel/Desk
std::filesystem::path firstInstall();  // ~/Tarvic
std::filesystem::path firstAside();    // ~/Tarvic-previous

// The folder that holds the desk now.
std::filesystem::path install();

// The marker a setup run keeps while it works, "~/.tarvic-setting-up": left behind, it
// tells that setting up did not finish.
std::filesystem::path settingUp();

// The agent label in use, and the agent's property list for a label.
std::string label();
std::filesystem::path plist(std::string_view label);
std::filesystem::path launchAgent();

// The desk's local port: QUENDREL_PORT, else TARVIC_PORT, else 8080.
std::int64_t port();

// A port value: an optional single sign and decimal digits in the signed 64-bit range.
std::optional<std::int64_t> parsePort(std::string_view value);

}  // namespace Paths
