#include "update/Releases.h"

#include <sys/mount.h>
#include <sys/xattr.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "platform/Mounts.h"
#include "platform/Process.h"
#include "signing/CodeSign.h"
#include "support/Home.h"

namespace fs = std::filesystem;
using testing_support::Answer;
using testing_support::write;

namespace update_testing {

bool inSandbox = false;

bool makeReadOnly(const fs::path& folder) {
  return mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool mountScratch(const fs::path& folder) {
  return mount("scratch", folder.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

bool mountedBelow(const fs::path& folder) {
  std::error_code error;
  const std::string inside = fs::weakly_canonical(folder, error).string();
  for (const auto& mount : Platform::mounts()) {
    const std::string point = mount.mountPoint.string();
    if (point == inside || point.rfind(inside + "/", 0) == 0) return true;
  }
  return false;
}

Key makeKey(const fs::path& file) {
  if (CodeSign::makeKey(file)) throw std::runtime_error("no key");
  return {file, *CodeSign::readKey(file)};
}

void makeApp(const fs::path& location, const std::string& version, const Key* key,
             const std::string& service, const std::string& identifier) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "  <key>CFBundleIdentifier</key>\n  <string>" +
      identifier +
      "</string>\n"
      "  <key>CFBundleShortVersionString</key>\n  <string>" +
      version +
      "</string>\n"
      "  <key>CFBundleVersion</key>\n  <string>1</string>\n"
      "  <key>CFBundleExecutable</key>\n  <string>Quendrel</string>\n";
  if (!service.empty()) {
    plist += "  <key>QuendrelService</key>\n  <string>" + service + "</string>\n";
  }
  plist += "</dict>\n</plist>\n";
  write(location / "Contents/Info.plist", plist);
  write(location / "Contents/MacOS/Quendrel",
        "#!/bin/bash\necho \"" + version + " ${QUENDREL_NEW_INSTANCE:-}\" >> \"$HOME/started\"\n",
        0755);
  write(location / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0750);
  write(location / "Contents/Resources/payload/presets/README", "Presets live here.\n", 0640);
  fs::create_symlink("payload/setup.sh", location / "Contents/Resources/setup");
  const std::string note = "kept";
  lsetxattr((location / "Contents/Resources/payload/presets/README").c_str(), "user.quendrel.note",
            note.data(), note.size(), 0);
  // Whole seconds, which is what a disk image keeps.
  const auto then = std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() -
                                                             std::chrono::hours(24 * 30));
  fs::last_write_time(location / "Contents/Resources/payload/presets/README", then);
  if (key) {
    if (auto problem = CodeSign::sign(location, key->secret)) throw std::runtime_error(*problem);
  }
}

std::string starts() {
  return testing_support::read(Platform::home() / "started");
}

Ran run(const std::string& program, const std::vector<std::string>& args) {
  auto ran = Platform::run({program, args, ""}, Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  if (!exited) return {};
  return {exited->status, exited->output};
}

Ran release(const fs::path& bundle, const Key& key, const fs::path& out) {
  return run(BUILD_ROOT "/quendrel-release",
             {bundle.string(), "--key", key.file.string(), "--out", out.string()});
}

bool makeImage(const fs::path& folder, const fs::path& image) {
  return run("/usr/bin/mksquashfs",
             {folder.string(), image.string(), "-noappend", "-quiet", "-no-progress"})
             .status == 0;
}

Service::Service()
    : server_([this](const std::string& path) {
        if (path == "/app/latest") return Answer{200, feed};
        if (path == "/app/download") {
          while (holding) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return Answer{downloadStatus, download};
        }
        return Answer{404, "There is nothing here.\n"};
      }) {}

void Service::publish(const fs::path& releases) {
  feed = testing_support::read(releases / "latest.json");
  auto entry = AppUpdate::readFeed(feed);
  if (!entry) throw std::runtime_error("no feed in " + releases.string());
  download = testing_support::read(releases / entry->file());
}

void Service::offer(const std::string& version, const std::string& image, const std::string& file) {
  download = image;
  feed = "{\"version\": \"" + version + "\", \"sha256\": \"" + Platform::sha256Hex(image) +
         "\", \"file\": \"" + file + "\"}";
}

AppUpdate::Prepared prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto answer = answered.get_future().get();
  settled.get_future().wait();
  return answer;
}

AppUpdate::Published entryFor(const std::string& version, const std::string& image,
                              const std::string& file) {
  return AppUpdate::Published(version, Platform::sha256Hex(image), file);
}

}  // namespace update_testing
