#pragma once
// The desktop's way back to Quendrel: a freedesktop desktop entry named after the bundle
// identifier in $XDG_DATA_HOME/applications, with the knob as its icon in the hicolor theme
// under $XDG_DATA_HOME/icons. Written while the bundle stands in an Applications folder,
// removed with it. An entry of that name that is not ours is never touched.
#include <filesystem>
#include <functional>
#include <string>

namespace Desktop {

inline constexpr int iconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

std::filesystem::path entry();
std::filesystem::path icon(int pixels);

// The entry's text for the bundle whose program is `program`.
std::string entryText(const std::filesystem::path& bundle, const std::filesystem::path& program);

// Draws the knob `pixels` on a side into a PNG file; false when it could not be written.
using DrawIcon = std::function<bool(int pixels, const std::filesystem::path& file)>;

// Writes or refreshes the entry and its icons when the bundle stands in an Applications folder
// and no entry of another's has our name; an entry and icons that are current are left as they
// are. False when there is no entry of ours for the bundle.
bool introduce(const std::filesystem::path& bundle, const DrawIcon& draw);

// Removes the entry and its icons, when the entry is ours.
void forget();

}  // namespace Desktop
