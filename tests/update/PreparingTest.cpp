// The feed, the version order, quendrel-release, and fetching and staging a newer version
// against a real local service, with real images and real signatures.
#include <gtest/gtest.h>

#include <future>

#include "placement/Identity.h"
#include "platform/Attributes.h"
#include "text/Version.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::difference;
using testing_support::mountedBelow;
using testing_support::namesIn;
using testing_support::snapshot;

namespace {

const std::string staged = "staged";

// Runs a preparation and waits for it to settle (its image detached): "staged", or why not.
std::string prepareNow(const AppUpdate::Published& entry) {
  std::promise<AppUpdate::Prepared> answered;
  std::promise<void> settled;
  AppUpdate::prepare(
      entry, [&](AppUpdate::Prepared prepared) { answered.set_value(std::move(prepared)); },
      [&] { settled.set_value(); });
  auto answer = answered.get_future().get();
  settled.get_future().wait();
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&answer);
  return unprepared ? unprepared->why : staged;
}

using Preparing = Releasing;

}  // namespace

// How a piece reads as a number is the port variables' business, and the order's laws are
// the fuzz harness's: each case here takes its own way through the comparison.
TEST(AppUpdate, VersionOrderAndFeedEntries) {
  const std::tuple<const char*, const char*, bool> versions[] = {
      {"1.10", "1.9", true},   {"1.2.1", "1.2", true},    // by number; a missing piece is 0
      {"2.0-rc1", "2", false}, {"2.0-rc1", "1.9", true},  // not a number: 0
      {"1..2", "1.2", false},  {"", "-1", true},          // empty pieces are skipped
  };
  for (const auto& [a, b, newer] : versions) EXPECT_EQ(Text::newerVersion(a, b), newer) << a << b;

  auto entry = AppUpdate::readFeed(
      R"({"version": "1.4", "sha256": "AB12", "file": "Quendrel-1.4.img", "notes": 3})");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->version() + " " + entry->sha256() + " " + entry->file(),
            "1.4 AB12 Quendrel-1.4.img");
  // Wrong types and deep nesting are the hostile feeds' business.
  EXPECT_FALSE(AppUpdate::readFeed(R"({"version": "1.4", "sha256": "ab"})"));
  EXPECT_FALSE(AppUpdate::readFeed(R"([{"version": "1.4", "sha256": "ab", "file": "f"}])"));
}

// That the image holds the bundle, signed, under the current name, with the feed's digest,
// is shown by the preparations below, which stage what it publishes.
TEST_F(Preparing, ReleasesArePublishedBesideTheEarlierOnesButNeverOutsideTheirFolder) {
  publish("2.1");
  publish("2.2");
  makeApp(home / "Odd.app", noting("2.0/../../x"), nullptr);
  auto odd = release(home / "Odd.app", key, home / "releases");
  EXPECT_EQ(odd.status, 1);
  EXPECT_NE(odd.output.find("cannot name a release"), std::string::npos) << odd.output;
  EXPECT_EQ(AppUpdate::readFeed(read(home / "releases/latest.json"))->file(), "Quendrel-2.2.img");
  EXPECT_EQ(namesIn(home / "releases"),
            (std::vector<std::string>{"Quendrel-2.1.img", "Quendrel-2.2.img", "latest.json"}))
      << "the earlier image stays for whoever still fetches it; nothing else is left";
}

// Under a digest in upper case and a plain name that merely looks odd.
TEST_F(Preparing, ANewerVersionIsStagedAsItWasBuilt) {
  const fs::path staging = AppUpdate::staging(), built = home / "build-2.0/Some Name.app";
  std::string digest = publish().sha256();
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  testing_support::write(staging / "left-over", "from an earlier run");

  // Where it is staged counts for the relaunch, which puts it in place.
  ASSERT_EQ(prepareNow({"2.0", digest, "..Quendrel 2.0 .img"}), staged);
  const fs::path app = staging / "Quendrel.app";
  EXPECT_TRUE(valid(app));
  EXPECT_EQ(difference(snapshot(built), snapshot(app)), "") << "modes, links and contents";
  const fs::path readme = "Contents/Resources/payload/presets/README";
  EXPECT_EQ(fs::last_write_time(app / readme), fs::last_write_time(built / readme));
  EXPECT_TRUE(Platform::Attributes::has(app / readme, "user.quendrel.note"));
  EXPECT_EQ(namesIn(staging),
            (std::vector<std::string>{"..Quendrel 2.0 .img", "Quendrel.app", "mount"}))
      << "the image is kept and detached, and every preparation starts afresh";
  EXPECT_FALSE(mountedBelow(staging));
  EXPECT_EQ(Settling::version(ours), "1.0") << "the running copy is not touched";
}

// Whether what is staged is signed like us is the hostile downloads' and security checks'
// business.
TEST_F(Preparing, WhatIsNotTheSignedPublishedVersionIsNeverStaged) {
  const fs::path staging = AppUpdate::staging();
  const auto byHand = [&](const std::string& folder) {  // an image of the folder, served
    EXPECT_TRUE(makeImage(home / folder, home / (folder + ".img")));
    return offer(read(home / (folder + ".img")));
  };
  makeApp(home / "earlier/Tarvic.app", noting("2.0"), &key);
  EXPECT_EQ(prepareNow(byHand("earlier")), staged) << "the earlier name";
  EXPECT_TRUE(fs::exists(staging / "Quendrel.app") && !fs::exists(staging / "Tarvic.app"));
  makeApp(home / "link/Other.app", noting("2.0"), &key);
  fs::create_symlink("Other.app", home / "link/Quendrel.app");
  EXPECT_EQ(prepareNow(byHand("link")), "The new Quendrel could not be unpacked.");
  EXPECT_FALSE(fs::exists(fs::symlink_status(staging / "Quendrel.app")));
  EXPECT_EQ(prepareNow(offer("not a disk image")), "The downloaded disk image would not open.");
  EXPECT_FALSE(mountedBelow(staging));
  EXPECT_EQ(read(staging / "Quendrel-2.0.img"), "not a disk image") << "it stays for a look";
}

TEST_F(Preparing, APublishedNameIsOnlyEverAFileInTheStagingFolder) {
  auto entry = publish();
  const fs::path root = home.path().parent_path(), staging = AppUpdate::staging();
  fs::create_directories(staging);
  const auto before = snapshot(root, staging);
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                  std::string("../../escape.img"), std::string("x\0y", 3)}) {
    EXPECT_EQ(prepareNow({"2.0", entry.sha256(), name}),
              "Could not save it: The name it is published under is not a plain file name.");
    EXPECT_EQ(difference(snapshot(root, staging), before), "") << name;
  }
}
