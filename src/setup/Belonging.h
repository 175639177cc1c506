#pragma once
// The note inside the desk's installation that names the copy of Quendrel that installed the
// desk and looks after it. It follows the application wherever it settles in an Applications
// folder; a desk under version control, or one looked after from elsewhere, is never marked.
#include <filesystem>

namespace Belonging {

// "data/installed-by-app" in the desk's folder.
std::filesystem::path note();

// Whether the note exists.
bool recorded();

// Writes the bundle's path (as given, not resolved) to the note, when the desk is installed,
// is not a working copy (no ".git" in it) and the bundle lies in an Applications folder.
// Never fails: anything that goes wrong leaves things as they were.
void record(const std::filesystem::path& app);

}  // namespace Belonging
