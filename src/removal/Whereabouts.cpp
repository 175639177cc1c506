#include "removal/Whereabouts.h"

#include <string>

#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

std::string resolved(const fs::path& p) {
  std::error_code error;
  fs::path r = fs::weakly_canonical(p, error);
  return error ? p.string() : r.string();
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool Whereabouts::settled(const fs::path& bundle) {
  const std::string path = resolved(bundle);
  const std::string own = resolved(platform::home() / "Applications");
  if (bundle.extension() != ".app") return false;
  return startsWith(path, "/Applications/") || startsWith(path, own + "/");
}
