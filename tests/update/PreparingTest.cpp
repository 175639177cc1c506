// Fetching and staging a newer version against a real local service, with real images and
// real signatures.
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <set>

#include "placement/Identity.h"
#include "platform/Bundle.h"
#include "platform/Digest.h"
#include "platform/Items.h"
#include "signing/CodeSign.h"
#include "support/Home.h"
#include "support/MainBundle.h"
#include "update/AppUpdate.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

constexpr const char* notIntact = "The download did not arrive intact.";
constexpr const char* notUnpacked = "The new Quendrel could not be unpacked.";
constexpr const char* notOurs =
    "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
    "been installed.";

std::string why(const AppUpdate::Prepared& prepared) {
  auto* unprepared = std::get_if<AppUpdate::Unprepared>(&prepared);
  return unprepared ? unprepared->why : "staged";
}

// Every path below the folder.
std::set<std::string> everything(const fs::path& folder) {
  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) found.insert(entry.path());
  return found;
}

class Preparing : public ::testing::Test {
 protected:
  Preparing() {
    makeApp(ours, "1.0", &key, service.base());
    testing_support::pretendMainBundle(ours);
  }

  // Version `version` built, published with quendrel-release signed with `with`, and served.
  AppUpdate::Published released(const std::string& version, const Key& with) {
    const fs::path app = home / ("build-" + version + "/Quendrel.app");
    makeApp(app, version, nullptr);
    const fs::path out = home / "releases";
    auto ran = release(app, with, out);
    EXPECT_EQ(ran.status, 0) << ran.output;
    service.publish(out);
    return *AppUpdate::readFeed(service.feed);
  }

  // An image made by hand holding the folder's contents, served under version 2.0.
  AppUpdate::Published imageOf(const fs::path& folder) {
    const fs::path image = home / "by-hand.img";
    EXPECT_TRUE(makeImage(folder, image));
    service.offer("2.0", read(image), "by-hand.img");
    return *AppUpdate::readFeed(service.feed);
  }

  fs::path staging() const { return AppUpdate::staging(); }

  Home home;
  Service service;
  Key key = makeKey(home / "release.key");
  fs::path ours = home / "Applications/Quendrel.app";
};

}  // namespace

TEST_F(Preparing, ANewerVersionIsStagedAsItWasBuilt) {
  auto entry = released("2.0", key);
  EXPECT_EQ(staging(), home / "Library/Application Support/Quendrel/Update");
  write(staging() / "left-over", "from an earlier run");

  auto prepared = prepareNow(entry);
  ASSERT_EQ(why(prepared), "staged");
  const fs::path staged = std::get<AppUpdate::Staged>(prepared).app;
  EXPECT_EQ(staged, staging() / "Quendrel.app");
  EXPECT_EQ(Settling::version(staged), "2.0");
  EXPECT_TRUE(std::holds_alternative<CodeSign::Signer>(CodeSign::verify(staged)));
  EXPECT_FALSE(fs::exists(staging() / "left-over")) << "every preparation starts afresh";
  EXPECT_EQ(read(staging() / entry.file()), service.download) << "the image is kept";
  EXPECT_FALSE(mountedBelow(staging())) << "the image is detached afterwards";

  // Modes, links, attributes and times come along.
  const fs::path built = home / "build-2.0/Quendrel.app";
  EXPECT_EQ(Platform::lookAt(staged / "Contents/Resources/payload/setup.sh")->mode, 0750u);
  EXPECT_EQ(Platform::linkTarget(staged / "Contents/Resources/setup"), "payload/setup.sh");
  EXPECT_EQ(fs::last_write_time(staged / "Contents/Resources/payload/presets/README"),
            fs::last_write_time(built / "Contents/Resources/payload/presets/README"));
  char note[16] = {};
  if (lgetxattr((built / "Contents/Resources/payload/presets/README").c_str(), "user.quendrel.note",
                note, sizeof note) > 0) {
    char copied[16] = {};
    lgetxattr((staged / "Contents/Resources/payload/presets/README").c_str(), "user.quendrel.note",
              copied, sizeof copied);
    EXPECT_STREQ(copied, note);
  }
  EXPECT_EQ(Settling::version(ours), "1.0") << "the running copy is not touched";
}

TEST_F(Preparing, TheDigestMayBeWrittenInUpperCase) {
  auto entry = released("2.0", key);
  std::string upper = entry.sha256();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, entry.sha256());
  EXPECT_EQ(why(prepareNow({"2.0", upper, entry.file()})), "staged");
}

TEST_F(Preparing, OnlyThePublishedBytesAreSavedAndAnythingElseTouchesNothing) {
  auto entry = released("2.0", key);
  write(staging() / "left-over", "from an earlier run");

  EXPECT_EQ(why(prepareNow({"2.0", "", entry.file()})), notIntact) << "an empty digest";
  EXPECT_EQ(why(prepareNow({"2.0", entry.sha256().substr(1) + "0", entry.file()})), notIntact);
  service.downloadStatus = 404;
  service.download = "No release is published.\n";
  EXPECT_EQ(why(prepareNow(entry)), notIntact) << "an error page";
  EXPECT_EQ(read(staging() / "left-over"), "from an earlier run") << "nothing cleared";
  EXPECT_FALSE(fs::exists(staging() / entry.file()));

  // The right bytes that are no disk image at all.
  service.downloadStatus = 200;
  service.download = "not a disk image";
  EXPECT_EQ(why(prepareNow(entryFor("2.0", "not a disk image", "Quendrel-2.0.img"))),
            "The downloaded disk image would not open.");
  EXPECT_EQ(read(staging() / "Quendrel-2.0.img"), "not a disk image") << "it stays for a look";
}

TEST(PreparingOffline, ADownloadThatNeverArrivesSaysWhy) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path ours = home / "Applications/Quendrel.app";
  const int port = testing_support::freePort();
  makeApp(ours, "1.0", &key, "http://127.0.0.1:" + std::to_string(port));
  testing_support::pretendMainBundle(ours);
  const std::string text = why(prepareNow(entryFor("2.0", "bytes", "Quendrel-2.0.img")));
  const std::string start = "The download did not finish. ";
  EXPECT_EQ(text.substr(0, start.size()), start);
  EXPECT_GT(text.size(), start.size()) << "the reason follows";
  EXPECT_FALSE(fs::exists(AppUpdate::staging()));
}

TEST_F(Preparing, TheEarlierNameIsStagedUnderTheCurrentOne) {
  makeApp(home / "image/Tarvic.app", "2.0", &key, "", "com.tarvicone.manager");
  auto prepared = prepareNow(imageOf(home / "image"));
  ASSERT_EQ(why(prepared), "staged");
  EXPECT_EQ(std::get<AppUpdate::Staged>(prepared).app, staging() / "Quendrel.app");
  EXPECT_EQ(Settling::identity(staging() / "Quendrel.app"), "com.tarvicone.manager");
  EXPECT_FALSE(fs::exists(staging() / "Tarvic.app"));
}

TEST_F(Preparing, AnImageWithoutTheApplicationIsDetachedAllTheSame) {
  makeApp(home / "image/Other.app", "2.0", &key);
  fs::create_symlink("Other.app", home / "image/Quendrel.app");
  EXPECT_EQ(why(prepareNow(imageOf(home / "image"))), notUnpacked) << "a link is no application";
  EXPECT_FALSE(mountedBelow(staging()));
  EXPECT_FALSE(Platform::lookAt(staging() / "Quendrel.app"));
}

TEST_F(Preparing, OnlyACopySignedLikeUsIsStaged) {
  Key other = makeKey(home / "other.key");
  auto entry = released("2.0", other);
  EXPECT_EQ(why(prepareNow(entry)), notOurs) << "another key";
  EXPECT_FALSE(fs::exists(staging())) << "nothing of it is kept";

  makeApp(home / "changed/Quendrel.app", "2.0", &key);
  const fs::path program = home / "changed/Quendrel.app/Contents/MacOS/Quendrel";
  std::string bytes = read(program);
  bytes[bytes.size() / 2] ^= 1;
  write(program, bytes, 0755);
  EXPECT_EQ(why(prepareNow(imageOf(home / "changed"))), notOurs) << "a byte changed after signing";
  EXPECT_FALSE(mountedBelow(staging()));

  makeApp(home / "unsigned/Quendrel.app", "2.0", nullptr);
  EXPECT_EQ(why(prepareNow(imageOf(home / "unsigned"))), notOurs) << "unsigned";
  EXPECT_FALSE(fs::exists(staging()));
}

TEST_F(Preparing, WithoutASignatureOfItsOwnNoUpdateIsAccepted) {
  auto entry = released("2.0", key);
  fs::remove_all(ours / "Contents/_CodeSignature");
  EXPECT_EQ(why(prepareNow(entry)), notOurs);
}

TEST_F(Preparing, APublishedNameIsOnlyEverAFileInTheStagingFolder) {
  auto entry = released("2.0", key);
  const fs::path root = home.path().parent_path();
  fs::create_directories(staging());
  const auto before = everything(root);
  for (const std::string& name :
       {std::string(""), std::string("."), std::string(".."), std::string("../../escape.img"),
        std::string("sub/escape.img"), (home / "escape.img").string(), std::string("x\0y", 3),
        std::string("/")}) {
    EXPECT_EQ(why(prepareNow({"2.0", entry.sha256(), name})),
              "Could not save it: The name it is published under is not a plain file name.")
        << name;
    auto now = everything(root);
    std::set<std::string> added;
    for (const auto& path : now) {
      if (!before.count(path) && path.rfind(staging().string(), 0) != 0) added.insert(path);
    }
    EXPECT_TRUE(added.empty()) << name << " wrote " << *added.begin();
  }
  // A plain name that merely looks odd is a file name like any other.
  EXPECT_EQ(why(prepareNow({"2.0", entry.sha256(), "..Quendrel 2.0 .img"})), "staged");
  EXPECT_EQ(read(staging() / "..Quendrel 2.0 .img"), service.download);
}
