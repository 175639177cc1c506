#pragma once
// Disk images on Linux: squashfs files, mounted read-only with squashfuse (FUSE) or on a loop
// device, or laid out with unsquashfs; and telling an image's mount from other mounts.
#include <filesystem>
#include <string>

#include "platform/Mounts.h"

namespace Platform {

// Whether a mount of this type from this source is a disk image: squashfs, iso9660 or udf
// from a loop device, or squashfs through FUSE.
bool isDiskImage(const std::string& type, const std::string& source);

// Whether this system offers FUSE (/dev/fuse) to mount an image without privileges.
bool hasFuse();

// One program's go at an image: whether it ended well, and the last line it wrote (or why it
// could not start).
struct ImageStep {
  bool ok = false;
  std::string lastWords;
};

// Mounts the image read-only at the folder with squashfuse.
ImageStep mountWithFuse(const std::filesystem::path& image, const std::filesystem::path& at);
// Mounts the image read-only on a loop device (needs the privilege to mount).
ImageStep mountOnLoop(const std::filesystem::path& image, const std::filesystem::path& at);
// Lays the image's contents out into the folder, which must not exist yet.
ImageStep extractImage(const std::filesystem::path& image, const std::filesystem::path& into);

// Unmounts the mount, never by force: fusermount3 for a FUSE mount, umount otherwise. False
// when it could not (for one, something still uses it).
bool unmountImage(const Mount& mount);

}  // namespace Platform
