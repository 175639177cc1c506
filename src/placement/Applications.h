#pragma once
// The Applications folders: which there are, whether a copy stands in one, where a copy
// should go and where copies already stand, and how to tell the user where this one is.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "placement/Identity.h"

namespace Settling {

using Folders = std::vector<std::filesystem::path>;

// "/Applications", then the Applications folder in the home folder.
Folders folders();

// Whether `bundle` is an ".app" beneath "/Applications/" or the user's own Applications
// folder (links resolved), at any depth.
bool settled(const std::filesystem::path& bundle);

// Whether a copy could be put in the folder (or the folder made, when it does not exist).
bool canWrite(const std::filesystem::path& folder);

// Where the bundle should move to: the first writable folder plus "Quendrel.app". Nothing
// when it is not an ".app", already lies beneath one of the folders, or none is writable.
std::optional<std::filesystem::path> destination(const std::filesystem::path& bundle,
                                                 const Folders& folders, const Test& writable);

// Where the bundle is, for "Quendrel is running from …": "its disk image", "where it was
// downloaded", "your Downloads folder", or the holding folder's name between “ and ”.
std::string describe(const std::filesystem::path& bundle);

// The mount point of the disk image that holds the location, when it is on one.
std::optional<std::filesystem::path> diskImage(const std::filesystem::path& location);

// The newest copy of ours standing directly in the folders under one of `fileNames`; on a
// tie the earlier folder and the current name win.
std::optional<std::filesystem::path> installedCopy(const Folders& folders);

// Renames a copy of ours called "Tarvic.app", directly in one of the folders, to
// "Quendrel.app" beside it, when nothing has that name yet. The new location, or nothing.
std::optional<std::filesystem::path> renamedToCurrent(const std::filesystem::path& bundle,
                                                      const Folders& folders);

// Detaches the disk image mounted at `mountPoint`, never by force. False when it is not a
// disk image's mount point or could not be detached (for one, something still uses it).
bool eject(const std::filesystem::path& mountPoint);

}  // namespace Settling
