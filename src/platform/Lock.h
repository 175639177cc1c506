#pragma once
// An exclusive advisory lock on a folder, shared by every process of this user that asks
// for it, and held while the object lives.
#include <filesystem>

#include "platform/Descriptor.h"

namespace Platform {

class FolderLock {
 public:
  // Tries once, without waiting, to lock `folder`.
  explicit FolderLock(const std::filesystem::path& folder);
  FolderLock(FolderLock&&) noexcept = default;
  FolderLock& operator=(FolderLock&&) noexcept = default;

  // Whether another holder, in this process or another, has the lock. When the folder
  // cannot be locked at all (it cannot be opened, or its file system has no locks) the lock
  // is not taken and nothing is held.
  bool taken() const { return taken_; }
  // Whether this object holds the lock.
  bool held() const { return fd_.valid(); }

 private:
  Descriptor fd_;
  bool taken_ = false;
};

}  // namespace Platform
