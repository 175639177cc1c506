// Fetching and staging a newer version against a real local service, with real images and
// real signatures.
#include <gtest/gtest.h>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Attributes.h"
#include "platform/Digest.h"
#include "platform/Items.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const std::string staged = "staged";
const std::string notIntact = "The download did not arrive intact.";
const std::string notOurs =
    "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
    "been installed.";

std::string why(const AppUpdate::Prepared& prepared) {
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&prepared);
  return unprepared ? unprepared->why : staged;
}

class Preparing : public Releasing {
 protected:
  void SetUp() override { install(); }
  fs::path staging() const { return AppUpdate::staging(); }
};

}  // namespace

TEST_F(Preparing, ANewerVersionIsStagedAsItWasBuilt) {
  auto entry = publish();
  EXPECT_EQ(staging(), home / "Library/Application Support/Quendrel/Update");
  write(staging() / "left-over", "from an earlier run");

  auto prepared = prepareNow(entry);
  ASSERT_EQ(why(prepared), staged);
  const fs::path app = std::get<AppUpdate::Staged>(prepared).app;
  EXPECT_EQ(app, staging() / "Quendrel.app");
  EXPECT_EQ(Settling::version(app), "2.0");
  EXPECT_TRUE(valid(app));
  EXPECT_FALSE(fs::exists(staging() / "left-over")) << "every preparation starts afresh";
  EXPECT_EQ(read(staging() / entry.file()), service.download) << "the image is kept";
  EXPECT_FALSE(mountedBelow(staging())) << "the image is detached afterwards";
  EXPECT_EQ(Settling::version(ours), "1.0") << "the running copy is not touched";

  // Modes, links, attributes and times come along.
  const fs::path readme = "Contents/Resources/payload/presets/README";
  EXPECT_EQ(Platform::lookAt(app / "Contents/Resources/payload/setup.sh")->mode, 0750u);
  EXPECT_EQ(Platform::linkTarget(app / "Contents/Resources/setup"), "payload/setup.sh");
  EXPECT_EQ(fs::last_write_time(app / readme),
            fs::last_write_time(home / "build-2.0/Quendrel.app" / readme));
  EXPECT_TRUE(Platform::Attributes::has(app / readme, "user.quendrel.note"));
}

TEST_F(Preparing, WhatIsNotTheSignedPublishedVersionIsNeverStaged) {
  Key other = makeKey(home / "other.key");
  const auto published = [&] { return publish("2.0"); };
  int images = 0;
  const auto inImage = [&](bool signedToo, std::function<void(const fs::path&)> spoil) {
    return [&, signedToo, spoil] {
      const fs::path folder = home / ("image" + std::to_string(++images));
      makeApp(folder / "Quendrel.app", noting("2.0"), signedToo ? &key : nullptr);
      spoil(folder);
      return imageOf(folder);
    };
  };
  const auto nothing = [](const fs::path&) {};
  const struct {
    const char* what;
    std::function<AppUpdate::Published()> entry;
    std::string why;
    bool leftOverKept;  // the staging folder is kept as it was
  } cases[] = {
      {"an empty digest", [&] { return AppUpdate::Published("2.0", "", published().file()); },
       notIntact, true},
      {"the digest in upper case",
       [&] {
         auto entry = published();
         std::string upper = entry.sha256();
         for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return AppUpdate::Published("2.0", upper, entry.file());
       },
       staged, false},
      {"a link for the application",
       inImage(true,
               [&](const fs::path& folder) {
                 fs::rename(folder / "Quendrel.app", folder / "Other.app");
                 fs::create_symlink("Other.app", folder / "Quendrel.app");
               }),
       "The new Quendrel could not be unpacked.", false},
      {"another key", [&] { return publish("2.0", &other); }, notOurs, false},
      {"the program changed after signing",
       inImage(true,
               [&](const fs::path& folder) {
                 write(folder / "Quendrel.app/Contents/MacOS/Quendrel", "#!/bin/bash\n", 0755);
               }),
       notOurs, false},
      {"unsigned", inImage(false, nothing), notOurs, false},
      {"a running copy changed since it was signed",
       [&] {
         write(ours / "Contents/Resources/payload/setup.sh", "#!/bin/bash\n", 0750);
         return published();
       },
       notOurs, false},
      {"a running copy without a signature of its own",
       [&] {
         fs::remove_all(ours / "Contents/_CodeSignature");
         return published();
       },
       notOurs, false},
      {"no disk image",
       [&] {
         service.offer("2.0", "not a disk image", "Quendrel-2.0.img");
         return *AppUpdate::readFeed(service.feed);
       },
       "The downloaded disk image would not open.", false},
  };
  for (const auto& c : cases) {
    install();
    write(staging() / "left-over", "from an earlier run");
    EXPECT_EQ(why(prepareNow(c.entry())), c.why) << c.what;
    EXPECT_EQ(fs::exists(staging() / "left-over"), c.leftOverKept) << c.what;
    EXPECT_FALSE(mountedBelow(staging())) << c.what;
    if (c.why != staged) {
      EXPECT_FALSE(Platform::lookAt(staging() / "Quendrel.app")) << c.what;
    }
  }
  EXPECT_EQ(read(staging() / "Quendrel-2.0.img"), "not a disk image") << "it stays for a look";
}

TEST_F(Preparing, TheEarlierNameIsStagedUnderTheCurrentOne) {
  makeApp(home / "image/Tarvic.app", noting("2.0", "com.tarvicone.manager"), &key);
  auto prepared = prepareNow(imageOf(home / "image"));
  ASSERT_EQ(why(prepared), staged);
  EXPECT_EQ(std::get<AppUpdate::Staged>(prepared).app, staging() / "Quendrel.app");
  EXPECT_EQ(Settling::identity(staging() / "Quendrel.app"), "com.tarvicone.manager");
  EXPECT_FALSE(fs::exists(staging() / "Tarvic.app"));
}

TEST_F(Preparing, APublishedNameIsOnlyEverAFileInTheStagingFolder) {
  auto entry = publish();
  const fs::path root = home.path().parent_path();
  fs::create_directories(staging());
  const auto before = testing_support::snapshot(root, staging());
  for (const std::string& name :
       {std::string(""), std::string("."), std::string(".."), std::string("../../escape.img"),
        std::string("sub/escape.img"), (home / "escape.img").string(), std::string("x\0y", 3),
        std::string("/")}) {
    EXPECT_EQ(why(prepareNow({"2.0", entry.sha256(), name})),
              "Could not save it: The name it is published under is not a plain file name.")
        << name;
    EXPECT_EQ(testing_support::difference(testing_support::snapshot(root, staging()), before), "")
        << name;
  }
  // A plain name that merely looks odd is a file name like any other.
  EXPECT_EQ(why(prepareNow({"2.0", entry.sha256(), "..Quendrel 2.0 .img"})), staged);
  EXPECT_EQ(read(staging() / "..Quendrel 2.0 .img"), service.download);
}
