// Identities and their order, destinations, descriptions, installed copies and their renaming,
// moving copies into place and clearing away what moves left, and the mount table.
#include <gtest/gtest.h>

#include <thread>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Attributes.h"
#include "platform/Images.h"
#include "platform/Items.h"
#include "platform/Lock.h"
#include "platform/Mounts.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/Sandbox.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::namesIn;
using testing_support::write;
namespace fs = std::filesystem;
namespace attributes = Platform::Attributes;
using Outcome = Settling::Outcome;
using Names = std::vector<std::string>;

namespace {

const Settling::Test always = [](const fs::path&) { return true; };
const Settling::Test never = [](const fs::path&) { return false; };

// An Info.plist in the binary format: the earlier product's identity, 1.10, build 7.
const std::string binaryPlist(
    "bplist00\xd3\x01\x02\x03\x04\x05\x06_\x10\x12"
    "CFBundleIdentifier_\x10\x1a"
    "CFBundleShortVersionString_\x10\x0f"
    "CFBundleVersion_\x10\x15"
    "com.tarvicone.managerT1.10Q7\x08\x0f$ASkp\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00"
    "\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00r",
    153);

// A home with a signed copy in Downloads and an Applications folder to move it to.
class Moving : public ::testing::Test {
 protected:
  void SetUp() override { makeApp(source, {.version = "2.0"}, &key); }
  Outcome moveTo(const fs::path& to, const Settling::Test& running = never) {
    return Settling::move(source, to, running);
  }
  Home home;
  Key key = makeKey(home / "key");
  const fs::path source = home / "Downloads/Quendrel.app", apps = home / "Applications";
  const fs::path target = apps / "Quendrel.app";
};

}  // namespace

TEST(Identity, ReadFromBinaryInfoFilesTooAndTheVersionDecidesWhichIsNewerAndTheBuildATie) {
  Home home;
  const fs::path app = home / "Old.app";
  write(app / "Contents/Info.plist", binaryPlist);
  EXPECT_EQ(std::tuple(Settling::identity(app), Settling::isOurs(app), Settling::version(app),
                       Settling::build(app)),
            std::tuple(std::optional<std::string>("com.tarvicone.manager"), true, "1.10", "7"));
  using P = Settling::Pair;
  const std::tuple<P, P, bool> cases[] = {
      {{"1.9", "7"}, {"1.10", "1"}, false},  {{"1.2", "5"}, {"1.2.0", "5"}, false},
      {{"1.2.0", "5"}, {"1.2", "5"}, false}, {{"1.2", "10"}, {"1.2.0", "9"}, true},
      {{"", ""}, {"", ""}, false},           {{"1", ""}, {"", "99"}, true},
      {{"0", "2"}, {"", "1"}, true},         {{"", "1"}, {"0", "2"}, false},  // 0 is no version
  };
  for (const auto& [a, b, newer] : cases) {
    EXPECT_EQ(Settling::newer(a, b), newer) << a.first << "/" << a.second;
  }
}

TEST(Placing, TheDestinationTheDescriptionTheInstalledCopyAndTheRenamingOfItsEarlierName) {
  Home home;
  const fs::path a = home / "A", b = home / "B", c = home / "C", d = home / "D";
  fs::create_directories(a);
  fs::create_directory_symlink(a, home / "Link");
  const Settling::Test onlyB = [&](const fs::path& f) { return f == b; };
  const std::tuple<fs::path, Settling::Folders, Settling::Test, std::optional<fs::path>> cases[] = {
      {home / "Downloads/Quendrel.app", {a, b}, Settling::canWrite, a / "Quendrel.app"},
      {home / "Downloads/Other Name.app/", {a, b}, onlyB, b / "Quendrel.app"},  // current name
      {a / "Tools/Quendrel.app", {a, b}, always, std::nullopt},                 // at any depth
      {home / "A2/Quendrel.app", {a, b}, always, a / "Quendrel.app"},  // beside, not inside
      {home / "Link/Quendrel.app", {a, b}, always, std::nullopt},      // inside through a link
  };
  for (const auto& [bundle, folders, writable, expected] : cases) {
    EXPECT_EQ(Settling::destination(bundle, folders, writable), expected) << bundle;
  }
  EXPECT_EQ(std::tuple(Settling::describe(home / "Downloads/AppTranslocation/Q.app"),
                       Settling::describe(home / "Downloads"), Settling::describe("/Quendrel.app")),
            std::tuple("where it was downloaded", "“home”", "“/”"));

  // Each step lays one bundle down; the installed copy is then the expected one. Only a copy of
  // ours called "Tarvic.app" directly in a folder, with nothing by the current name beside it,
  // is renamed.
  EXPECT_FALSE(Settling::installedCopy({a, b}));
  const std::tuple<fs::path, App, fs::path> steps[] = {
      {b / "Quendrel.app", {}, b / "Quendrel.app"},
      {a / "Quendrel.app", {}, a / "Quendrel.app"},                       // earlier folder
      {a / "Tarvic.app", {"com.tarvicone.manager"}, a / "Quendrel.app"},  // current name
      {a / "Tarvic.app", {"com.tarvicone.manager", "1.0.0", "2"}, a / "Tarvic.app"},  // build
      {b / "Quendrel.app", {.version = "1.1"}, b / "Quendrel.app"},
      {b / "Quendrel.app", {"org.example.other", "9.0"}, a / "Tarvic.app"},  // not ours
      {a / "Sub/Quendrel.app", {.version = "9.0"}, a / "Tarvic.app"},        // not directly in
      {a / "Quendrel 2.app", {.version = "9.0"}, a / "Tarvic.app"},          // another name
  };
  for (const auto& [bundle, app, expected] : steps) {
    makeApp(bundle, app, nullptr);
    EXPECT_EQ(Settling::installedCopy({a, b}), expected) << bundle;
  }
  makeApp(c / "Tarvic.app", {"org.example.other"}, nullptr);
  makeApp(c / "Sub/Tarvic.app", {"com.tarvicone.manager"}, nullptr);
  makeApp(d / "Tarvic.app", {"com.tarvicone.manager"}, nullptr);
  for (const fs::path& kept : {a / "Tarvic.app", c / "Tarvic.app", c / "Sub/Tarvic.app"}) {
    EXPECT_FALSE(Settling::renamedToCurrent(kept, {a, c, d})) << kept;
  }
  EXPECT_EQ(Settling::renamedToCurrent(d / "Tarvic.app", {a, c, d}), d / "Quendrel.app");
  EXPECT_EQ(namesIn(d), Names{"Quendrel.app"});
}

TEST_F(Moving, OnlyACopyOfTheSameIdentityOrOfOursIsReplacedAndARunningOneWhenLetThrough) {
  makeApp(target, {"org.example.other", "1.0"}, nullptr);
  EXPECT_EQ(moveTo(target), Outcome(Settling::Foreign{}));
  makeApp(home / "NoId.app", {""}, nullptr);
  EXPECT_EQ(Settling::move(home / "NoId.app", target, never), Outcome(Settling::Foreign{}));
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << "nothing left beside it";
  // The same identifier replaces, even one that is not ours.
  makeApp(home / "Other.app", {"org.example.other", "2.0"}, &key);
  EXPECT_EQ(Settling::move(home / "Other.app", target, never), Outcome(Settling::Moved{target}));

  // A running copy of ours is replaced only when let through.
  makeApp(target, {.version = "1.5"}, &key);
  Running busy(programOf(target), polite);
  EXPECT_EQ(moveTo(target, Settling::isRunning), Outcome(Settling::Running{}));
  // Let through, it is swapped under the running process, which carries on from the old files.
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_EQ(std::tuple(Settling::version(target), busy.ended(), namesIn(apps)),
            std::tuple("2.0", false, Names{"Quendrel.app"}));
}

TEST_F(Moving, SomethingThatAppearsAtTheTargetMeanwhileIsNeverReplaced) {
  // Enough to copy and check that the temporary copy is seen long before it is renamed.
  write(source / "Contents/Resources/payload/big.bin", std::string(48 << 20, 'q'));
  sign(source, key);
  fs::create_directories(apps);

  // As soon as the hidden copy appears, somebody else puts a folder at the target.
  std::thread intruder([&] {
    while (namesIn(apps).empty()) std::this_thread::yield();
    write(target / "mine.txt", "someone else's");
  });
  auto outcome = moveTo(target);
  intruder.join();
  EXPECT_EQ(outcome, Outcome(Settling::Failed{"It could not be put in place (File exists)."}));
  EXPECT_EQ(testing_support::read(target / "mine.txt"), "someone else's");
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << "the copy was removed";
}

// A temporary copy is left alone for an hour, or while another move holds the folder; once
// nobody holds it, the next move clears it at any age.
TEST_F(Moving, LeftoverTemporaryCopiesGoOnceStaleOrOnceNobodyHoldsTheFolder) {
  const std::string left = ".Quendrel.app.0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
  const Names others{".Quendrel.app.0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9", ".Quendrel.app.x"};
  for (const auto& name : others) write(apps / name, "");
  makeApp(apps / left, {}, nullptr);
  Settling::removeStaleCopies(apps, std::chrono::system_clock::now() + std::chrono::minutes(59));
  EXPECT_EQ(namesIn(apps).size(), 3u);
  Settling::removeStaleCopies(apps, std::chrono::system_clock::now() + std::chrono::minutes(61));
  EXPECT_EQ(namesIn(apps), others) << "only our own upper-case names";
  makeApp(apps / left, {}, nullptr);
  {
    Platform::FolderLock elsewhere(apps);
    ASSERT_TRUE(elsewhere.held());
    EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
    EXPECT_TRUE(fs::exists(apps / left));
  }
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_FALSE(fs::exists(apps / left));
}

// As another user: failures to make the folder or copy are reported and cleaned up, and
// unquarantining lends the owner write permission and gives it back, and discarding gets into
// read-only and closed folders.
TEST_F(Moving, AnotherUsersFailuresAreCleanedUpAndTheirReadOnlyFoldersOpenedForAWhile) {
  if (!testing_support::inSandbox()) GTEST_SKIP() << "needs the private root (root and unshare)";
  write(home / "NotAFolder", "");
  EXPECT_EQ(
      moveTo(home / "NotAFolder/Applications/Quendrel.app"),
      Outcome(Settling::Failed{"Its Applications folder could not be made (Not a directory)."}));
  const fs::path copy = home / "Shared/Quendrel.app", program = copy / "Contents/MacOS/Quendrel";
  const fs::path payload = copy / "Contents/Resources/payload", locked = payload / "presets/README";
  makeApp(copy, {}, nullptr);
  for (const fs::path& item : {copy, program, locked, payload}) {
    ASSERT_EQ(attributes::set(item, attributes::quarantine, "0081"), 0);
  }
  giveToNobody(home / "Shared");
  fs::permissions(home / "Shared", fs::perms::all);
  fs::permissions(program, static_cast<fs::perms>(06555));
  fs::permissions(locked, fs::perms::owner_read);
  fs::permissions(payload, fs::perms::owner_read | fs::perms::owner_exec);

  // One who may not read all of the source: the copy stops and is removed.
  EXPECT_TRUE(asNobody(home.path(), [&] {
    return moveTo(home / "Shared/Applications/Quendrel.app") ==
           Outcome(Settling::Failed{"It could not be copied there (Permission denied)."});
  }));
  EXPECT_EQ(namesIn(home / "Shared/Applications"), Names{});

  EXPECT_TRUE(asNobody(home.path(), [&] { return Settling::unquarantine(copy); }));
  for (const fs::path& item : {copy, program, locked, payload}) {
    EXPECT_FALSE(attributes::has(item, attributes::quarantine)) << item;
  }
  EXPECT_EQ(Platform::lookAt(locked)->mode, 0400u) << "the mode is given back";
  EXPECT_EQ(Platform::lookAt(payload)->mode, 0500u);
  fs::permissions(copy / "Contents/MacOS", fs::perms::none);
  EXPECT_TRUE(asNobody(home.path(), [&] {
    Settling::discard(copy);
    return !Platform::lookAt(copy);
  })) << "read-only and closed folders inside go too";
}

TEST(MountTable, LinesAreReadWithTheirEscapesAndImagesKnownByKind) {
  auto table = Platform::parseMountInfo(
      "90 26 7:3 / /Volumes/Quendrel\\0402 ro,relatime shared:5 master:1 - squashfs /dev/loop3 ro\n"
      "short line\n");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(std::tuple(table[0].mountPoint, table[0].type, table[0].source),
            std::tuple("/Volumes/Quendrel 2", "squashfs", "/dev/loop3"));
  EXPECT_FALSE(Platform::isDiskImage("squashfs", "/dev/sda1")) << "a real disk";
  EXPECT_FALSE(Platform::isDiskImage("fuse.sshfs", "host:/"));
}
