#include "placement/DiskImage.h"

#include "placement/Applications.h"
#include "placement/Moving.h"
#include "platform/Files.h"
#include "platform/Images.h"
#include "platform/Mounts.h"

namespace fs = std::filesystem;

namespace {

// The image must really be attached there, not merely a program claiming success.
bool mountedImageAt(const fs::path& mountPoint) {
  auto held = Platform::mountHolding(mountPoint);
  std::error_code error;
  return held && held->mountPoint == fs::canonical(mountPoint, error) &&
         Platform::isDiskImage(held->type, held->source);
}

bool empty(const fs::path& folder) {
  std::error_code error;
  return fs::is_empty(folder, error) && !error;
}

}  // namespace

namespace DiskImage {

std::variant<Attached, Unattached> attach(const fs::path& image, const fs::path& mountPoint) {
  std::error_code error;
  if (!fs::is_regular_file(image, error))
    return Unattached{image.string() + " is not a disk image"};
  fs::create_directories(mountPoint, error);
  if (error || !empty(mountPoint)) {
    return Unattached{mountPoint.string() + " is not an empty folder"};
  }
  const fs::path from = fs::absolute(image);
  const fs::path at = fs::absolute(mountPoint);
  std::string why;

  if (Platform::hasFuse()) {
    auto mounted = Platform::mountWithFuse(from, at);
    if (mounted.ok && mountedImageAt(mountPoint)) return Attached{mountPoint, How::fuse};
    why = mounted.lastWords;
  }
  auto mounted = Platform::mountOnLoop(from, at);
  if (mounted.ok && mountedImageAt(mountPoint)) return Attached{mountPoint, How::loop};
  if (why.empty()) why = mounted.lastWords;

  // No way to mount it here: lay its contents out instead.
  fs::remove(mountPoint, error);
  auto extracted = Platform::extractImage(from, at);
  if (extracted.ok) return Attached{mountPoint, How::extracted};
  Settling::discard(mountPoint);
  return Unattached{"the disk image could not be attached (" + why + "; " + extracted.lastWords +
                    ")"};
}

bool detach(const Attached& attached) {
  switch (attached.how) {
    case How::fuse:
    case How::loop:
      return Settling::eject(attached.mountPoint);
    case How::extracted:
      // Something running from the laid-out copy keeps it, as it would keep a mounted image.
      if (Settling::inUse(attached.mountPoint)) return false;
      Settling::discard(attached.mountPoint);
      return !Platform::existsNoFollow(attached.mountPoint);
  }
  return false;
}

}  // namespace DiskImage
