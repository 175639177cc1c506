#include "removal/Whereabouts.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/moving.h"

namespace fs = std::filesystem;

namespace {

std::string resolved(const fs::path& p) {
  std::error_code error;
  fs::path r = fs::weakly_canonical(p, error);
  return error ? p.string() : r.string();
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.starts_with(prefix);
}

// Whether `path` lies beneath `folder`, as named or with the folder's links resolved: the
// system names a held item by its resolved path.
bool beneath(const std::string& path, const fs::path& folder) {
  return startsWith(path, folder.string() + "/") || startsWith(path, resolved(folder) + "/");
}

fs::path ownBundle() {
  auto bundle = platform::mainBundle();
  if (!bundle) return {};
  return resolved(bundle->location);
}

// The user's own freedesktop trash: $XDG_DATA_HOME/Trash/files, by default under
// ~/.local/share.
fs::path freedesktopTrash() {
  const char* data = std::getenv("XDG_DATA_HOME");
  fs::path base = data && *data == '/' ? fs::path(data) : platform::home() / ".local/share";
  return base / "Trash/files";
}

// ".Trash-" and the digits of a user id: a volume's freedesktop trash.
bool volumeTrash(const std::string& name) {
  constexpr std::string_view prefix = ".Trash-";
  if (!startsWith(name, prefix) || name.size() == prefix.size()) return false;
  return name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// A freedesktop trash keeps "info/NAME.trashinfo" beside "files/NAME" for each item it
// holds; an item gone from "files" leaves its note for nothing.
void forgetTrashed(const fs::path& item) {
  const fs::path files = item.parent_path();
  if (files.filename() != "files" || !Whereabouts::trashed(item)) return;
  std::error_code ignored;
  fs::remove(files.parent_path() / "info" / (item.filename().string() + ".trashinfo"), ignored);
}

}  // namespace

Whereabouts::Whereabouts() : Whereabouts(ownBundle()) {}

Whereabouts::Whereabouts(const fs::path& bundle) : home_(bundle) {
  if (!home_.empty() && settled(home_)) hold(home_);
}

bool Whereabouts::settled(const fs::path& bundle) {
  const std::string path = resolved(bundle);
  const std::string own = resolved(platform::home() / "Applications");
  if (bundle.extension() != ".app") return false;
  return startsWith(path, "/Applications/") || startsWith(path, own + "/");
}

void Whereabouts::hold(const fs::path& bundle) {
  // The watch lives exactly as long as this object, so its handler may use `this`.
  watch_ = platform::Watch::hold(bundle, [this](platform::WatchEvents events) {
    if (events.deleted || events.revoked) deleted_ = true;
    if (changed) changed();
  });
}

bool Whereabouts::guarded(const std::string& path) {
  const fs::path home = platform::home();
  for (const char* inside : {"Desktop", "Documents", "Downloads", "Library/Mobile Documents"}) {
    if (beneath(path, home / inside)) return true;
  }
  // Mounted volumes: the Mac's one place and the usual Linux ones.
  for (const char* volumes : {"/Volumes/", "/media/", "/run/media/", "/mnt/"}) {
    if (startsWith(path, volumes)) return true;
  }
  return false;
}

bool Whereabouts::trashed(const fs::path& path) {
  if (beneath(path.string(), freedesktopTrash())) return true;
  bool afterVolumeTrash = false;
  for (const auto& part : path) {
    const std::string name = part.string();
    if (name == ".Trash" || name == ".Trashes") return true;
    if (afterVolumeTrash && name == "files") return true;
    afterVolumeTrash = volumeTrash(name);
  }
  return false;
}

Whereabouts::Place Whereabouts::place() const {
  if (!watch_) return Place::atHome();
  // Anything at all at the old place (the bundle put back, or a new one) counts as home.
  if (platform::fileId(home_)) return Place::atHome();
  if (deleted_) return Place::gone();
  auto current = watch_->current();
  if (!current) return Place::gone();
  if (guarded(current->string())) return Place::moved(*current);
  if (platform::fileId(*current) != watch_->held()) return Place::gone();
  return trashed(*current) ? Place::inTrash(*current) : Place::moved(*current);
}

std::optional<std::string> Whereabouts::putBack(const fs::path& inTrash, const fs::path& home) {
  if (auto why = platform::moveItem(inTrash, home)) return why;
  forgetTrashed(inTrash);
  return std::nullopt;
}
