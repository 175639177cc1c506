#pragma once
// Application bundles: folders "X.app/Contents/{Info.plist, MacOS/, Resources/}".
#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

struct Bundle {
  std::filesystem::path location;  // the ".app" folder

  std::filesystem::path info() const { return location / "Contents" / "Info.plist"; }
  std::filesystem::path resources() const { return location / "Contents" / "Resources"; }
  std::filesystem::path executables() const { return location / "Contents" / "MacOS"; }
  // The text value of an Info.plist key; nothing when unreadable or not text.
  std::optional<std::string> value(const std::string& key) const;
};

// The bundle that holds this process's executable ("…/X.app/Contents/MacOS/exe"), by the
// path it was opened from: folders above the bundle that are symbolic links stay as they
// were named (callers resolve where they compare places). Nothing when the executable lies
// outside a bundle. Defined alone in MainBundle.cpp, so that a test program can link a
// stand-in of its own.
std::optional<Bundle> mainBundle();
// What mainBundle answers when nothing stands in for it.
std::optional<Bundle> bundleOfThisProcess();

// The bundle that holds the executable at `executable`, when it lies in one.
std::optional<Bundle> bundleHolding(const std::filesystem::path& executable);

}  // namespace Platform
