// Putting a copy in place: copied beside the target under a hidden name, cleared, checked,
// then renamed into place in one step.
#include <cerrno>
#include <chrono>
#include <functional>

#include "placement/Moving.h"
#include "platform/Attributes.h"
#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Items.h"
#include "signing/CodeSign.h"

namespace fs = std::filesystem;

namespace Settling {
namespace {

// A temporary copy this old was left by a move that did not finish.
constexpr auto stale = std::chrono::hours(1);

bool isTemporaryName(const std::string& name) {
  if (name.size() != temporaryPrefix.size() + 36 ||
      name.compare(0, temporaryPrefix.size(), temporaryPrefix) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < 36; ++i) {
    char c = name[temporaryPrefix.size() + i];
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    bool digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (hyphen ? c != '-' : !digit) return false;
  }
  return true;
}

std::string resolvedSource(const fs::path& source) {
  std::error_code error;
  fs::path r = fs::canonical(source, error);
  return error ? source.string() : r.string();
}

bool mayReplace(const std::optional<std::string>& ours, const std::optional<std::string>& theirs) {
  if (theirs == ours) return true;
  return identities.count(*ours) > 0 && theirs && identities.count(*theirs) > 0;
}

// Owner rights on every folder before looking inside it, so a read-only folder in a copy can
// be both entered and emptied.
void openUp(const fs::path& item) {
  auto status = Platform::lookAt(item);
  if (!status || status->kind != Platform::ItemKind::folder) return;
  Platform::addMode(item, 0700);
  std::error_code error;
  for (fs::directory_iterator it(item, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    openUp(it->path());
  }
}

// The location and every item below it, links not followed.
std::vector<fs::path> everything(const fs::path& location) {
  std::vector<fs::path> items{location};
  std::error_code error;
  for (fs::recursive_directory_iterator it(location, fs::directory_options::skip_permission_denied,
                                           error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    items.push_back(it->path());
  }
  return items;
}

// Removes the hidden temporary copies in the folder for which `left` holds.
void removeCopies(const fs::path& folder,
                  const std::function<bool(const Platform::ItemStatus&)>& left) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    if (isTemporaryName(it->path().filename().string())) found.push_back(it->path());
  }
  for (const auto& copy : found) {
    auto status = Platform::lookAt(copy);
    if (status && left(*status)) discard(copy);
  }
}

}  // namespace

// The change time, unlike the modification time that a copy takes over from its original,
// says when the copy was made.
void removeStaleCopies(const fs::path& folder, std::chrono::system_clock::time_point now) {
  removeCopies(folder, [now](const Platform::ItemStatus& s) { return now - s.changed > stale; });
}

Platform::FolderLock clearLeftovers(const fs::path& folder,
                                    std::chrono::system_clock::time_point now) {
  Platform::FolderLock lock(folder);
  if (lock.held()) {
    removeCopies(folder, [](const Platform::ItemStatus&) { return true; });
  } else {
    removeStaleCopies(folder, now);
  }
  return lock;
}

Outcome move(const fs::path& source, const fs::path& target, const Test& running) {
  const fs::path original = resolvedSource(source);
  const fs::path folder = target.parent_path();

  const bool replacing = Platform::existsNoFollow(target);
  if (replacing) {
    auto ours = identity(original);
    if (!ours || !mayReplace(ours, identity(target))) return Foreign{};
    if (running(target)) return Running{};
  }

  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return Failed{"Its Applications folder could not be made (" + error.message() + ")."};
  const auto lock = clearLeftovers(folder, std::chrono::system_clock::now());

  const fs::path temporary = folder / (std::string(temporaryPrefix) + Platform::uuid());
  if (int copyError = Platform::copyTree(original, temporary)) {
    discard(temporary);
    return Failed{"It could not be copied there (" + Platform::errorText(copyError) + ")."};
  }
  if (!unquarantine(temporary)) {
    discard(temporary);
    return Failed{"The copy could not be cleared to open from there, so it has been removed."};
  }
  if (!intact(temporary, original)) {
    discard(temporary);
    return Failed{"The copy did not match the original exactly, so it has been removed."};
  }
  const auto how = replacing ? Platform::Rename::exchange : Platform::Rename::exclusive;
  if (int renameError = Platform::renameAtomically(temporary, target, how)) {
    const std::string why = Platform::errorText(renameError);
    discard(temporary);
    return Failed{"It could not be put in place (" + why + ")."};
  }
  // After a swap the old copy stands at the temporary name.
  if (replacing) discard(temporary);
  return Moved{target};
}

void discard(const fs::path& location) {
  openUp(location);
  std::error_code error;
  fs::remove_all(location, error);
}

bool unquarantine(const fs::path& location) {
  bool clear = true;
  for (const auto& item : everything(location)) {
    if (!Platform::Attributes::has(item, Platform::Attributes::quarantine)) continue;
    int error = Platform::Attributes::remove(item, Platform::Attributes::quarantine);
    if (error == EACCES || error == EPERM) {
      // The owner may lack write permission on the item; lend it for the removal only.
      auto status = Platform::lookAt(item);
      if (status && status->kind != Platform::ItemKind::link) {
        Platform::addMode(item, 0200);
        Platform::Attributes::remove(item, Platform::Attributes::quarantine);
        Platform::setMode(item, status->mode);
      }
    }
    if (Platform::Attributes::has(item, Platform::Attributes::quarantine)) clear = false;
  }
  return clear;
}

bool intact(const fs::path& copy, const fs::path& source) {
  return CodeSign::intact(copy, source);
}

}  // namespace Settling
