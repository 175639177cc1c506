#include "removal/Whereabouts.h"

#include <string>
#include <string_view>

#include "placement/Applications.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/Mounts.h"
#include "platform/Moving.h"

namespace fs = std::filesystem;

namespace {

// Whether `path` lies beneath `folder`, as named or with the folder's links resolved: the
// system names a held item by its resolved path.
bool beneath(const std::string& path, const fs::path& folder) {
  return path.starts_with(folder.string() + "/") ||
         path.starts_with(Platform::resolved(folder) + "/");
}

fs::path ownBundle() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return {};
  return Platform::resolved(bundle->location);
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
  if (!home_.empty() && Settling::settled(home_)) hold(home_);
}

void Whereabouts::hold(const fs::path& bundle) {
  // The watch lives exactly as long as this object, so its handler may use `this`.
  watch_ = Platform::Watch::hold(bundle, [this](Platform::WatchEvents events) {
    if (events.deleted || events.revoked) deleted_ = true;
    if (changed) changed();
  });
}

bool Whereabouts::guarded(const std::string& path) {
  const fs::path home = Platform::home();
  for (const char* inside : {"Desktop", "Documents", "Downloads", "Library/Mobile Documents"}) {
    if (beneath(path, home / inside)) return true;
  }
  return Platform::onVolume(path);
}

bool Whereabouts::trashed(const fs::path& path) {
  if (beneath(path.string(), Platform::ownTrash())) return true;
  bool afterVolumeTrash = false;
  for (const auto& part : path) {
    const std::string name = part.string();
    if (name == ".Trash" || name == ".Trashes") return true;
    if (afterVolumeTrash && name == "files") return true;
    afterVolumeTrash = Platform::isVolumeTrash(name);
  }
  return false;
}

Whereabouts::Place Whereabouts::place() const {
  if (!watch_) return Place::atHome();
  // Anything at all at the old place (the bundle put back, or a new one) counts as home.
  if (Platform::fileId(home_)) return Place::atHome();
  if (deleted_) return Place::gone();
  auto current = watch_->current();
  if (!current) return Place::gone();
  if (guarded(current->string())) return Place::moved(*current);
  if (Platform::fileId(*current) != watch_->held()) return Place::gone();
  return trashed(*current) ? Place::inTrash(*current) : Place::moved(*current);
}

std::optional<std::string> Whereabouts::putBack(const fs::path& inTrash, const fs::path& home) {
  if (auto why = Platform::moveItem(inTrash, home)) return why;
  forgetTrashed(inTrash);
  return std::nullopt;
}
