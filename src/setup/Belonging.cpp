#include "setup/Belonging.h"

#include "desk/Paths.h"
#include "placement/Applications.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace Belonging {
namespace {

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

}  // namespace

fs::path note() {
  return Paths::install() / "data" / "installed-by-app";
}

bool recorded() {
  return present(note());
}

void record(const fs::path& app) {
  const fs::path install = Paths::install();
  if (!present(install)) return;
  if (present(install / ".git")) return;
  if (!Settling::settled(app)) return;
  const fs::path file = install / "data" / "installed-by-app";
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  Platform::writeAtomically(file, app.string() + "\n");
}

}  // namespace Belonging
