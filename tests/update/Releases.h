#pragma once
// Real releases for the update tests: bundles whose program notes each start, published with
// quendrel-release (or by hand, for images it would never make) by a service on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "support/Bundles.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/LocalServer.h"
#include "support/Sandbox.h"
#include "update/AppUpdate.h"

namespace update_testing {

using namespace placement_testing;
using testing_support::inSandbox;
using testing_support::makeReadOnly;
using testing_support::mountedBelow;
using testing_support::starts;

// A bundle of this version whose program appends "<version> <QUENDREL_NEW_INSTANCE>" to
// $HOME/started and says it is up.
App noting(const std::string& version, const std::string& identifier = "com.quendrel.manager");

// quendrel-release BUNDLE --key KEY --out DIR.
Ran release(const std::filesystem::path& bundle, const Key& key, const std::filesystem::path& out);

// The feed and the download, as the web service serves them.
class Service {
 public:
  Service();
  std::string base() const { return server_.base(); }
  // The feed entry for `image`'s bytes under this version and file name.
  void offer(const std::string& version, const std::string& image, const std::string& file);
  std::string feed;
  std::string download;
  std::atomic<bool> holding{false};  // while set, a download waits before it is answered
  int downloads() { return server_.count("/app/download"); }

 private:
  testing_support::LocalServer server_;
};

// A home with a release key and a service.
class Releasing : public ::testing::Test {
 protected:
  // The running copy, version 1.0, in the home's Applications folder, signed with the key.
  void install();
  // This version built, published with quendrel-release signed with `with` (the release key
  // when none is given), and served.
  AppUpdate::Published publish(const std::string& version = "2.0", const Key* with = nullptr);
  // Serves the latest.json of a folder made by quendrel-release and the image it names.
  AppUpdate::Published serve(const std::filesystem::path& releases);
  // An image made by hand holding the folder's contents, served under version 2.0.
  AppUpdate::Published imageOf(const std::filesystem::path& folder);

  testing_support::Home home;
  Service service;
  Key key = makeKey(home / "release.key");
  const std::filesystem::path ours = home / "Applications/Quendrel.app";
};

// Runs a preparation and waits for it to settle (its image detached); gives its answer.
AppUpdate::Prepared prepareNow(const AppUpdate::Published& entry);

}  // namespace update_testing
