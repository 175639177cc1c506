#pragma once
// Real releases for the update tests: bundles whose program notes each start, published with
// quendrel-release (or by hand, for images it would never make) by a service on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Digest.h"
#include "support/Bundles.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "update/AppUpdate.h"

namespace update_testing {

using namespace placement_testing;
using testing_support::Answer;
using testing_support::Home;
using testing_support::read;
using testing_support::saysUp;
using testing_support::write;
namespace fs = std::filesystem;

// A bundle of this version whose program notes its process in $HOME/<version>.pid, appends
// "<version> <QUENDREL_NEW_INSTANCE>" to $HOME/started, then runs `program`.
inline App noting(const std::string& version, const std::string& program = saysUp) {
  App app{"com.quendrel.manager", version};
  app.script = "#!/bin/bash\necho \"$$\" > \"$HOME/" + version + ".pid\"\necho \"" + version +
               " ${QUENDREL_NEW_INSTANCE:-}\" >> \"$HOME/started\"\n" + program;
  return app;
}

// quendrel-release BUNDLE --key KEY --out DIR.
inline Ran release(const fs::path& bundle, const Key& key, const fs::path& out) {
  return run(BUILD_ROOT "/quendrel-release",
             {bundle.string(), "--key", key.file.string(), "--out", out.string()});
}

// A home with a release key, the running copy (1.0, signed with the key, in the home's
// Applications folder) and a service that serves the feed and the download.
class Releasing : public ::testing::Test {
 protected:
  Releasing() {
    App app = noting("1.0");
    app.service = server.base();
    makeApp(ours, app, &key);
    testing_support::pretendMainBundle(ours);
  }
  ~Releasing() override { holding = false; }
  // This version built with this program (and its mode), published with quendrel-release
  // signed with `with` (the release key when none is given), and served.
  AppUpdate::Published publish(const std::string& version = "2.0",
                               const std::string& program = saysUp, const Key* with = nullptr,
                               unsigned mode = 0755) {
    const fs::path app = home / ("build-" + version + "/Some Name.app");
    makeApp(app, noting(version, program), nullptr);
    fs::permissions(app / "Contents/MacOS/Quendrel", static_cast<fs::perms>(mode));
    auto ran = release(app, with ? *with : key, home / "releases");
    EXPECT_EQ(ran.status, 0) << ran.output;
    feed = read(home / "releases/latest.json");
    auto entry = AppUpdate::readFeed(feed);
    if (!entry) throw std::runtime_error("no feed: " + feed);
    download = read(home / "releases" / entry->file());
    return *entry;
  }
  // The image's bytes served under version 2.0.
  AppUpdate::Published offer(const std::string& image) {
    download = image;
    feed = "{\"version\": \"2.0\", \"sha256\": \"" + Platform::sha256Hex(image) +
           "\", \"file\": \"Quendrel-2.0.img\"}";
    return *AppUpdate::readFeed(feed);
  }

  Home home;
  std::string feed, download;
  std::atomic<bool> holding{false};  // while set, a download waits before it is answered
  testing_support::LocalServer server{[this](const std::string& path) {
    if (path == "/app/latest") return Answer{200, feed};
    while (holding) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Answer{200, download};
  }};
  Key key = makeKey(home / "release.key");
  const fs::path ours = home / "Applications/Quendrel.app";
};

// Runs a preparation and waits for it to settle (its image detached); gives its answer.
inline AppUpdate::Prepared prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto answer = answered.get_future().get();
  settled.get_future().wait();
  return answer;
}

}  // namespace update_testing
