#pragma once
// Small signed copies of Quendrel and their keys, and a release of one as a disk image.
#include <future>
#include <stdexcept>
#include <variant>

#include "platform/Digest.h"
#include "platform/Files.h"
#include "signing/CodeSign.h"
#include "support/Child.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "update/AppUpdate.h"

namespace testing_support {

using placement_testing::Key;
using placement_testing::makeKey;

// The line a bundle's program ends with to say it is up, as a relaunch after an update waits
// to hear.
inline constexpr const char* saysUp =
    "[ -z \"$QUENDREL_ANSWER_FD\" ] || echo up >&\"$QUENDREL_ANSWER_FD\"\n";

// A small bundle of this version whose program appends "<version>" to $HOME/started (and says
// it is up), with a nested folder and a symbolic link as real bundles have; signed with `key`
// when given. `service` is its QuendrelService, when given.
inline void makeApp(const fs::path& location, const std::string& version, const Key* key,
                    const std::string& service = "") {
  const std::string script =
      "#!/bin/bash\necho \"" + version + "\" >> \"$HOME/started\"\n" + saysUp;
  placement_testing::makeApp(location, {.version = version, .service = service, .script = script},
                             key);
}

// Version 2.0 signed with a new key, as a squashfs disk image and its feed entry (file
// "Quendrel-2.0.img"): made in `home`, kept in memory.
struct Release {
  Key key;
  std::string image, feed;
};
inline Release makeRelease(const fs::path& home) {
  Release release{makeKey(home / "release.key"), "", ""};
  makeApp(home / "image/Quendrel.app", "2.0", &release.key);
  const fs::path file = home / "Quendrel-2.0.img";
  if (!placement_testing::makeImage(home / "image", file)) throw std::runtime_error("no image");
  release.image = read(file);
  release.feed = "{\"version\": \"2.0\", \"sha256\": \"" + Platform::sha256Hex(release.image) +
                 "\", \"file\": \"Quendrel-2.0.img\"}";
  fs::remove_all(home / "image");
  fs::remove(file);
  return release;
}

// Whether the bundle is validly signed with `key` and is this version.
inline bool whole(const fs::path& bundle, const std::string& version, const Key& key) {
  auto verdict = CodeSign::verify(bundle);
  auto* signer = std::get_if<CodeSign::Signer>(&verdict);
  return signer && signer->publicKey == CodeSign::publicKeyOf(key.secret) &&
         read(bundle / "Contents/MacOS/Quendrel").find("\"" + version + "\"") != std::string::npos;
}

// What $HOME/started holds: one line per start of a bundle's program.
inline std::string starts() {
  return read(Platform::home() / "started");
}

// Runs the bundle's program as a launch would, and gives whether it noted its start.
inline bool startsUp(const fs::path& bundle) {
  const std::string before = starts();
  return run(bundle / "Contents/MacOS/Quendrel", {}).status == 0 && starts().size() > before.size();
}

// A copy of Quendrel at `app` with quendrelctl in it and this service; gives quendrelctl.
inline fs::path withCtl(const fs::path& app, const std::string& service = "http://127.0.0.1:9") {
  makeBundle(app, "com.quendrel.manager", "1.0", "1", service);
  const fs::path ctl = app / "Contents/MacOS/quendrelctl";
  fs::copy_file(QUENDRELCTL, ctl, fs::copy_options::overwrite_existing);
  return ctl;
}

// Prepares this update and waits until it has settled (its image detached): "staged" or why not.
inline std::string prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto prepared = answered.get_future().get();
  settled.get_future().wait();
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&prepared);
  return unprepared ? unprepared->why : "staged";
}

}  // namespace testing_support
