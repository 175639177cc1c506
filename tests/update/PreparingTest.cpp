// Fetching and staging a newer version against a real local service, with real images and
// real signatures.
#include <gtest/gtest.h>

#include <functional>

#include "placement/Identity.h"
#include "platform/Attributes.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::difference;
using testing_support::mountedBelow;
using testing_support::snapshot;

namespace {

const std::string staged = "staged";
const std::string notOurs =
    "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
    "been installed.";

std::string why(const AppUpdate::Prepared& prepared) {
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&prepared);
  return unprepared ? unprepared->why : staged;
}

using Preparing = Releasing;

}  // namespace

// Under a digest in upper case and a plain name that merely looks odd.
TEST_F(Preparing, ANewerVersionIsStagedAsItWasBuilt) {
  const fs::path staging = AppUpdate::staging(), built = home / "build-2.0/Some Name.app";
  EXPECT_EQ(staging, home / "Library/Application Support/Quendrel/Update");
  std::string digest = publish().sha256();
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  write(staging / "left-over", "from an earlier run");

  auto prepared = prepareNow({"2.0", digest, "..Quendrel 2.0 .img"});
  ASSERT_EQ(why(prepared), staged);
  const fs::path app = std::get<AppUpdate::Staged>(prepared).app;
  EXPECT_EQ(app, staging / "Quendrel.app");
  EXPECT_TRUE(valid(app));
  EXPECT_EQ(difference(snapshot(built), snapshot(app)), "") << "modes, links and contents";
  const fs::path readme = "Contents/Resources/payload/presets/README";
  EXPECT_EQ(fs::last_write_time(app / readme), fs::last_write_time(built / readme));
  EXPECT_TRUE(Platform::Attributes::has(app / readme, "user.quendrel.note"));
  EXPECT_FALSE(fs::exists(staging / "left-over")) << "every preparation starts afresh";
  EXPECT_EQ(read(staging / "..Quendrel 2.0 .img"), download) << "the image is kept";
  EXPECT_FALSE(mountedBelow(staging)) << "the image is detached afterwards";
  EXPECT_EQ(Settling::version(ours), "1.0") << "the running copy is not touched";
}

TEST_F(Preparing, WhatIsNotTheSignedPublishedVersionIsNeverStaged) {
  Key other = makeKey(home / "other.key");
  const auto inImage = [&](const char* name, bool signedToo) {
    return [&, name, signedToo] {
      const fs::path folder = home / ("image-" + std::string(name));
      makeApp(folder / name, noting("2.0"), signedToo ? &key : nullptr);
      if (std::string(name) == "Other.app") fs::create_symlink(name, folder / "Quendrel.app");
      EXPECT_TRUE(makeImage(folder, home / "by-hand.img"));
      return offer(read(home / "by-hand.img"));
    };
  };
  const struct {
    const char* what;
    std::function<AppUpdate::Published()> entry;
    std::string why;
  } cases[] = {
      {"the earlier name", inImage("Tarvic.app", true), staged},
      {"a link for the application", inImage("Other.app", true),
       "The new Quendrel could not be unpacked."},
      {"another key", [&] { return publish("2.0", saysUp, &other); }, notOurs},
      {"unsigned", inImage("Quendrel.app", false), notOurs},
      {"a running copy without a signature of its own",
       [&] {
         fs::remove_all(ours / "Contents/_CodeSignature");
         return publish();
       },
       notOurs},
      {"no disk image", [&] { return offer("not a disk image"); },
       "The downloaded disk image would not open."},
  };
  const fs::path staging = AppUpdate::staging();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(why(prepareNow(c.entry())), c.why);
    EXPECT_FALSE(mountedBelow(staging));
    EXPECT_EQ(fs::exists(staging / "Quendrel.app"), c.why == staged);
    EXPECT_FALSE(fs::exists(staging / "Tarvic.app"));
  }
  EXPECT_EQ(read(staging / "Quendrel-2.0.img"), "not a disk image") << "it stays for a look";
}

TEST_F(Preparing, APublishedNameIsOnlyEverAFileInTheStagingFolder) {
  auto entry = publish();
  const fs::path root = home.path().parent_path(), staging = AppUpdate::staging();
  fs::create_directories(staging);
  const auto before = snapshot(root, staging);
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                  std::string("../../escape.img"), std::string("x\0y", 3)}) {
    EXPECT_EQ(why(prepareNow({"2.0", entry.sha256(), name})),
              "Could not save it: The name it is published under is not a plain file name.")
        << name;
    EXPECT_EQ(difference(snapshot(root, staging), before), "") << name;
  }
}
