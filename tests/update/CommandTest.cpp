// quendrelctl update: the same fetch as the menu, printed line by line; never an install.
#include <gtest/gtest.h>

#include "placement/Identity.h"
#include "platform/Bundle.h"
#include "signing/CodeSign.h"
#include "support/Home.h"
#include "update/AppUpdate.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::Home;
namespace fs = std::filesystem;

namespace {

class UpdateCommand : public ::testing::Test {
 protected:
  // A running copy of version 1.0 with quendrelctl inside it, signed with `with`.
  void install(const Key& with) {
    makeApp(ours, "1.0", nullptr, service.base());
    fs::copy_file(QUENDRELCTL, ours / "Contents/MacOS/quendrelctl");
    ASSERT_FALSE(CodeSign::sign(ours, with.secret));
  }
  void publish(const std::string& version, const Key& with) {
    const fs::path app = home / ("build-" + version + "/Quendrel.app");
    makeApp(app, version, nullptr);
    auto ran = release(app, with, home / "releases");
    ASSERT_EQ(ran.status, 0) << ran.output;
    service.publish(home / "releases");
  }
  Ran update() { return run((ours / "Contents/MacOS/quendrelctl").string(), {"update"}); }

  Home home;
  Service service;
  Key key = makeKey(home / "release.key");
  fs::path ours = home / "Applications/Quendrel.app";
};

}  // namespace

TEST_F(UpdateCommand, StagesTheNewVersionAndPrintsTheLineAsItChanges) {
  install(key);
  publish("2.0", key);
  auto ran = update();
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.output, "Getting Quendrel 2.0…\nRelaunch to finish updating to 2.0\n");
  EXPECT_EQ(Settling::version(AppUpdate::staging() / "Quendrel.app"), "2.0");
  EXPECT_EQ(Settling::version(ours), "1.0") << "never swapped";
  EXPECT_EQ(starts(), "") << "nothing started";
  EXPECT_FALSE(mountedBelow(AppUpdate::staging())) << "ends only once the image is detached";
}

TEST_F(UpdateCommand, SaysWhyWhenTheNewVersionIsNotStaged) {
  install(key);
  Key other = makeKey(home / "other.key");
  publish("2.0", other);
  auto ran = update();
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.output,
            "Getting Quendrel 2.0…\nQuendrel 2.0 could not be fetched\n"
            "The downloaded Quendrel is not signed by the same developer as this one, so it has "
            "not been installed.\n");
  EXPECT_FALSE(mountedBelow(AppUpdate::staging()));
}

TEST_F(UpdateCommand, SaysSoWhenNothingIsNewer) {
  install(key);
  publish("1.0", key);
  auto ran = update();
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.output, "Quendrel is up to date\n");
  EXPECT_FALSE(fs::exists(AppUpdate::staging()));
}
