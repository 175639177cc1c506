#include "platform/Images.h"

#include <cctype>

#include "platform/Process.h"

namespace fs = std::filesystem;

namespace Platform {
namespace {

constexpr const char* squashfuse = "/usr/bin/squashfuse";
constexpr const char* fusermount = "/usr/bin/fusermount3";
constexpr const char* mountProgram = "/usr/bin/mount";
constexpr const char* umountProgram = "/usr/bin/umount";
constexpr const char* unsquashfs = "/usr/bin/unsquashfs";

bool succeeded(const Ran& ran) {
  auto* exited = std::get_if<Exited>(&ran);
  return exited && exited->status == 0;
}

std::string lastWords(const Ran& ran) {
  if (auto* unstarted = std::get_if<Unstarted>(&ran)) return unstarted->why;
  std::string output = std::get<Exited>(ran).output;
  while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
    output.pop_back();
  auto line = output.rfind('\n');
  return line == std::string::npos ? output : output.substr(line + 1);
}

ImageStep step(const Command& command) {
  auto ran = run(command, Output::pipe);
  return {succeeded(ran), lastWords(ran)};
}

}  // namespace

bool isDiskImage(const std::string& type, const std::string& source) {
  const bool loop = source.starts_with("/dev/loop");
  if (type == "squashfs" || type == "iso9660" || type == "udf") return loop;
  return type.starts_with("fuse.squashfuse");
}

bool hasFuse() {
  std::error_code error;
  return fs::exists("/dev/fuse", error);
}

ImageStep mountWithFuse(const fs::path& image, const fs::path& at) {
  return step({squashfuse, {image.string(), at.string()}, ""});
}

ImageStep mountOnLoop(const fs::path& image, const fs::path& at) {
  return step({mountProgram, {"-t", "squashfs", "-o", "loop,ro", image.string(), at.string()}, ""});
}

ImageStep extractImage(const fs::path& image, const fs::path& into) {
  return step({unsquashfs, {"-no-progress", "-quiet", "-d", into.string(), image.string()}, ""});
}

bool unmountImage(const Mount& mount) {
  const std::string point = mount.mountPoint.string();
  Command command = mount.type.starts_with("fuse.") ? Command{fusermount, {"-u", point}, ""}
                                                    : Command{umountProgram, {point}, ""};
  return succeeded(run(command, Output::null));
}

}  // namespace Platform
