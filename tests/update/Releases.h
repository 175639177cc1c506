#pragma once
// Real releases for the update tests: bundles whose program notes each start, published with
// quendrel-release (or by hand, for images it would never make) by a service on 127.0.0.1,
// and a running copy, version 1.0, signed with the release key, in the home's Applications
// folder.
#include <gtest/gtest.h>

#include "platform/Digest.h"
#include "support/Bundles.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"
#include "support/Sandbox.h"
#include "update/AppUpdate.h"

namespace update_testing {

using namespace placement_testing;
using testing_support::read;
using testing_support::saysUp;
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

class Releasing : public ::testing::Test {
 protected:
  Releasing() {
    App app = noting("1.0");
    app.service = server.base();
    makeApp(ours, app, &key);
    testing_support::pretendMainBundle(ours);
  }

  // This version built with this program (and mode), published with quendrel-release, served.
  AppUpdate::Published publish(const std::string& version = "2.0",
                               const std::string& program = saysUp, unsigned mode = 0755) {
    const fs::path app = home / ("build-" + version + "/Some Name.app");
    makeApp(app, noting(version, program), nullptr);
    fs::permissions(app / "Contents/MacOS/Quendrel", static_cast<fs::perms>(mode));
    auto ran = release(app, key, home / "releases");
    EXPECT_NE(ran.output.find("Quendrel " + version + " published"), std::string::npos);
    feed = read(home / "releases/latest.json");
    download = read(home / "releases" / AppUpdate::readFeed(feed).value().file());
    return *AppUpdate::readFeed(feed);
  }
  // These bytes served as the image of version 2.0.
  AppUpdate::Published offer(const std::string& image) {
    download = image;
    feed = "{\"version\": \"2.0\", \"sha256\": \"" + Platform::sha256Hex(image) +
           "\", \"file\": \"Quendrel-2.0.img\"}";
    return *AppUpdate::readFeed(feed);
  }

  testing_support::Home home;
  std::string feed, download;
  testing_support::LocalServer server{[this](const std::string& path) {
    return testing_support::Answer{200, path == "/app/latest" ? feed : download};
  }};
  Key key = makeKey(home / "release.key");
  const fs::path ours = home / "Applications/Quendrel.app";
};

}  // namespace update_testing
