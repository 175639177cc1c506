#include "platform/Moving.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Items.h"

namespace fs = std::filesystem;

namespace Platform {
namespace {

// Whether the two files hold the same bytes.
bool sameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  if (!left || !right) return false;
  char one[65536], other[65536];
  for (;;) {
    left.read(one, sizeof one);
    right.read(other, sizeof other);
    if (left.gcount() != right.gcount()) return false;
    if (std::memcmp(one, other, static_cast<size_t>(left.gcount())) != 0) return false;
    if (!left || !right) return !left && !right;
  }
}

// Whether the item at `copy` is the item at `original`: same kind and mode, same bytes or link
// target, and for a folder the same entries, each the same.
bool sameItem(const fs::path& original, const fs::path& copy) {
  const auto mine = lookAt(original), theirs = lookAt(copy);
  if (!mine || !theirs || mine->kind != theirs->kind || mine->mode != theirs->mode) return false;
  switch (mine->kind) {
    case ItemKind::file:
      return mine->size == theirs->size && sameBytes(original, copy);
    case ItemKind::link:
      return linkTarget(original) == linkTarget(copy);
    case ItemKind::folder: {
      std::error_code error;
      std::size_t entries = 0;
      for (fs::directory_iterator it(original, error), end; !error && it != end;
           it.increment(error)) {
        ++entries;
        if (!sameItem(it->path(), copy / it->path().filename())) return false;
      }
      if (error) return false;
      std::size_t copied = 0;
      for (fs::directory_iterator it(copy, error), end; !error && it != end; it.increment(error))
        ++copied;
      return !error && copied == entries;
    }
    case ItemKind::other:
      return true;
  }
  return false;
}

// Removes a tree whatever the modes of its folders (a copy keeps them, read-only ones too).
void removeTree(const fs::path& path) {
  std::error_code error;
  if (auto top = lookAt(path); top && top->kind == ItemKind::folder) addMode(path, 0700);
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) addMode(it->path(), 0700);
  }
  fs::remove_all(path, error);
}

std::string discarding(const fs::path& copy, std::string why) {
  removeTree(copy);
  return why;
}

std::optional<std::string> moveAcross(const fs::path& from, const fs::path& to) {
  if (existsNoFollow(to)) return errorText(EEXIST);
  const fs::path copy = to.parent_path() / ("." + to.filename().string() + "-" + uuid());
  if (int error = copyTree(from, copy)) return discarding(copy, errorText(error));
  if (!sameItem(from, copy)) return discarding(copy, "The copy did not match the original.");
  if (int error = renameAtomically(copy, to, Rename::exclusive)) {
    return discarding(copy, errorText(error));
  }
  // The item is whole in its place; whatever of the original cannot be removed stays behind.
  removeTree(from);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> moveItem(const fs::path& from, const fs::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return std::nullopt;
  }
  // A rename cannot cross file systems, nor mount points of one.
  if (errno == EXDEV) return moveAcross(from, to);
  return std::strerror(errno);
}

}  // namespace Platform
