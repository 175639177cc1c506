#include "placement/DiskImage.h"

#include <algorithm>
#include <cctype>

#include "placement/Settling.h"
#include "platform/files.h"
#include "platform/mounts.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* squashfuse = "/usr/bin/squashfuse";
constexpr const char* fusermount = "/usr/bin/fusermount3";
constexpr const char* mountProgram = "/usr/bin/mount";
constexpr const char* umountProgram = "/usr/bin/umount";
constexpr const char* unsquashfs = "/usr/bin/unsquashfs";

bool succeeded(const platform::Ran& ran) {
  auto* exited = std::get_if<platform::Exited>(&ran);
  return exited && exited->status == 0;
}

std::string lastWords(const platform::Ran& ran) {
  if (auto* unstarted = std::get_if<platform::Unstarted>(&ran)) return unstarted->why;
  std::string output = std::get<platform::Exited>(ran).output;
  while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
    output.pop_back();
  auto line = output.rfind('\n');
  return line == std::string::npos ? output : output.substr(line + 1);
}

// The image must really be attached there, not merely a program claiming success.
bool mountedImageAt(const fs::path& mountPoint) {
  auto held = platform::mountHolding(mountPoint);
  std::error_code error;
  return held && held->mountPoint == fs::canonical(mountPoint, error) &&
         DiskImage::isImage(held->type, held->source);
}

bool empty(const fs::path& folder) {
  std::error_code error;
  return fs::is_empty(folder, error) && !error;
}

}  // namespace

namespace DiskImage {

bool isImage(const std::string& type, const std::string& source) {
  const bool loop = source.rfind("/dev/loop", 0) == 0;
  if (type == "squashfs" || type == "iso9660" || type == "udf") return loop;
  return type.rfind("fuse.squashfuse", 0) == 0;
}

std::variant<Attached, Unattached> attach(const fs::path& image, const fs::path& mountPoint) {
  std::error_code error;
  if (!fs::is_regular_file(image, error))
    return Unattached{image.string() + " is not a disk image"};
  fs::create_directories(mountPoint, error);
  if (error || !empty(mountPoint)) {
    return Unattached{mountPoint.string() + " is not an empty folder"};
  }
  const std::string from = fs::absolute(image).string();
  const std::string at = fs::absolute(mountPoint).string();
  std::string why;

  if (fs::exists("/dev/fuse", error)) {
    auto ran = platform::run({squashfuse, {from, at}, ""}, platform::Output::pipe);
    if (succeeded(ran) && mountedImageAt(mountPoint)) return Attached{mountPoint, How::fuse};
    why = lastWords(ran);
  }
  auto ran = platform::run({mountProgram, {"-t", "squashfs", "-o", "loop,ro", from, at}, ""},
                           platform::Output::pipe);
  if (succeeded(ran) && mountedImageAt(mountPoint)) return Attached{mountPoint, How::loop};
  if (why.empty()) why = lastWords(ran);

  // No way to mount it here: lay its contents out instead.
  fs::remove(mountPoint, error);
  ran = platform::run({unsquashfs, {"-no-progress", "-quiet", "-d", at, from}, ""},
                      platform::Output::pipe);
  if (succeeded(ran)) return Attached{mountPoint, How::extracted};
  Settling::discard(mountPoint);
  return Unattached{"the disk image could not be attached (" + why + "; " + lastWords(ran) + ")"};
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
      return !platform::existsNoFollow(attached.mountPoint);
  }
  return false;
}

}  // namespace DiskImage

namespace Settling {

bool eject(const fs::path& mountPoint) {
  std::error_code error;
  const fs::path point = fs::canonical(mountPoint, error);
  if (error) return false;
  std::optional<platform::Mount> found;
  for (auto& mount : platform::mounts()) {
    if (mount.mountPoint == point) found = mount;
  }
  if (!found || !DiskImage::isImage(found->type, found->source)) return false;
  const bool fuse = found->type.rfind("fuse.", 0) == 0;
  platform::Command command = fuse ? platform::Command{fusermount, {"-u", point.string()}, ""}
                                   : platform::Command{umountProgram, {point.string()}, ""};
  return succeeded(platform::run(command, platform::Output::null));
}

}  // namespace Settling
