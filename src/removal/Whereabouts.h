#pragma once
// Where the application's own bundle is on disk, and whether a bundle lies in an
// Applications folder.
#include <filesystem>

class Whereabouts {
 public:
  // Whether `bundle` is an ".app" beneath "/Applications/" or the user's own Applications
  // folder (links resolved), at any depth.
  static bool settled(const std::filesystem::path& bundle);
};
