// Identities, destinations, descriptions, installed copies, moving copies into place, and the
// disk images they come on: recognised from the mount table and ejected only when unused.
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "placement/Applications.h"
#include "placement/DiskImage.h"
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
using testing_support::inSandbox;
using testing_support::makeBundle;
using testing_support::mounted;
using testing_support::namesIn;
using testing_support::read;
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
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd3\x01\x02\x03\x04\x05\x06\x5f\x10\x12\x43\x46\x42\x75\x6e"
    "\x64\x6c\x65\x49\x64\x65\x6e\x74\x69\x66\x69\x65\x72\x5f\x10\x1a\x43\x46\x42\x75\x6e\x64\x6c"
    "\x65\x53\x68\x6f\x72\x74\x56\x65\x72\x73\x69\x6f\x6e\x53\x74\x72\x69\x6e\x67\x5f\x10\x0f\x43"
    "\x46\x42\x75\x6e\x64\x6c\x65\x56\x65\x72\x73\x69\x6f\x6e\x5f\x10\x15\x63\x6f\x6d\x2e\x74\x61"
    "\x72\x76\x69\x63\x6f\x6e\x65\x2e\x6d\x61\x6e\x61\x67\x65\x72\x54\x31\x2e\x31\x30\x51\x37\x08"
    "\x0f\x24\x41\x53\x6b\x70\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x07\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x72",
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
  const fs::path source = home / "Downloads/Quendrel.app";
  const fs::path apps = home / "Applications";
  const fs::path target = apps / "Quendrel.app";
};

// The same, for tests that need the private root or hand folders to another user.
class Sandboxed : public Moving {
 protected:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "needs the private root (root and unshare)";
    Moving::SetUp();
  }
};

// A disk image holding a signed Quendrel.app, as it is downloaded, in the private root.
class DiskImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inSandbox()) GTEST_SKIP() << "needs the private root";
    makeApp(home / "image/Quendrel.app", {}, &key);
    fs::create_directory_symlink("/Applications", home / "image/Applications");
    ASSERT_TRUE(makeImage(home / "image", image));
  }
  Home home;
  Key key = makeKey(home / "key");
  const fs::path image = home / "Quendrel.squashfs";
};

}  // namespace

TEST(Identity, ReadFromInfoFilesInEitherFormatOrNotAtAll) {
  Home home;
  using Read = std::tuple<std::optional<std::string>, bool, std::string, std::string>;
  const auto readOf = [](const fs::path& app) {
    return Read{Settling::identity(app), Settling::isOurs(app), Settling::version(app),
                Settling::build(app)};
  };
  makeBundle(home / "Quendrel.app", "com.quendrel.manager", "1.9", "12");
  EXPECT_EQ(readOf(home / "Quendrel.app"), Read("com.quendrel.manager", true, "1.9", "12"));
  write(home / "Old.app/Contents/Info.plist", binaryPlist);
  EXPECT_EQ(readOf(home / "Old.app"), Read("com.tarvicone.manager", true, "1.10", "7"));
}

TEST(Placing, DestinationIsTheFirstWritableFolderUnlessPlacedAndTheDescriptionSaysWhere) {
  Home home;
  const fs::path a = home / "A", b = home / "B", downloaded = home / "Downloads/Quendrel.app";
  fs::create_directories(a / "Tools");
  fs::create_directories(b);
  fs::create_directory_symlink(a, home / "Link");
  const Settling::Test onlyB = [&](const fs::path& f) { return f == b; };
  const struct {
    fs::path bundle;
    Settling::Folders folders;
    Settling::Test writable;
    std::optional<fs::path> expected;
  } cases[] = {
      {downloaded, {a, b}, Settling::canWrite, a / "Quendrel.app"},
      {home / "Downloads/Other Name.app/", {a, b}, onlyB, b / "Quendrel.app"},  // current name
      {a / "Tools/Quendrel.app", {a, b}, always, std::nullopt},                 // at any depth
      {home / "A2/Quendrel.app", {a, b}, always, a / "Quendrel.app"},  // beside, not inside
      {home / "Link/Quendrel.app", {a, b}, always, std::nullopt},      // inside through a link
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Settling::destination(c.bundle, c.folders, c.writable), c.expected) << c.bundle;
  }
  EXPECT_EQ(Settling::describe(home / "Downloads/AppTranslocation/Q.app"),
            "where it was downloaded");
  EXPECT_EQ(Settling::describe(home / "Downloads"), "“home”");
  EXPECT_EQ(Settling::describe("/Quendrel.app"), "“/”");
}

TEST_F(Moving, OnlyACopyOfTheSameIdentityOrOfOursIsReplaced) {
  makeApp(target, {"org.example.other", "1.0"}, nullptr);
  EXPECT_EQ(moveTo(target), Outcome(Settling::Foreign{}));
  makeApp(home / "NoId.app", {""}, nullptr);
  EXPECT_EQ(Settling::move(home / "NoId.app", target, never), Outcome(Settling::Foreign{}));
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << "nothing left beside it";
  // The same identifier replaces, even one that is not ours.
  makeApp(home / "Other.app", {"org.example.other", "2.0"}, &key);
  EXPECT_EQ(Settling::move(home / "Other.app", target, never), Outcome(Settling::Moved{target}));
}

TEST_F(Moving, ARunningCopyIsSeenAndSwappedOnlyWhenLetThrough) {
  makeApp(target, {.version = "1.5"}, &key);
  Running busy(programOf(target), polite);
  EXPECT_EQ(moveTo(target, Settling::isRunning), Outcome(Settling::Running{}));
  // Let through, it is swapped under the running process, which carries on from the old files.
  EXPECT_EQ(moveTo(target), Outcome(Settling::Moved{target}));
  EXPECT_EQ(Settling::version(target), "2.0");
  EXPECT_FALSE(busy.ended());
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"});
}

TEST_F(Moving, SomethingThatAppearsAtTheTargetMeanwhileIsNeverReplaced) {
  // Enough to copy and check that the temporary copy is seen long before it is renamed.
  write(source / "Contents/Resources/payload/big.bin", std::string(48 << 20, 'q'));
  sign(source, key);
  fs::create_directories(apps);

  // As soon as the hidden copy appears, somebody else puts a folder at the target.
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, apps.c_str(), IN_CREATE), 0);
  std::thread intruder([&] {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len && std::string(event->name).rfind(".Quendrel.app.", 0) == 0) {
          write(target / "mine.txt", "someone else's");
          return;
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
  });
  auto outcome = moveTo(target);
  intruder.join();
  close(watch);
  EXPECT_EQ(outcome, Outcome(Settling::Failed{"It could not be put in place (File exists)."}));
  EXPECT_EQ(read(target / "mine.txt"), "someone else's");
  EXPECT_EQ(namesIn(apps), Names{"Quendrel.app"}) << "the copy was removed";
}

TEST_F(Sandboxed, FailuresToMakeTheFolderOrCopyAreReportedAndCleanedUp) {
  write(home / "NotAFolder", "");
  EXPECT_EQ(
      moveTo(home / "NotAFolder/Applications/Quendrel.app"),
      Outcome(Settling::Failed{"Its Applications folder could not be made (Not a directory)."}));

  // A person who may not read all of the source: the copy stops and is removed.
  fs::create_directories(home / "Shared/Applications");
  fs::permissions(home / "Shared", fs::perms::all);
  giveToNobody(home / "Shared");
  EXPECT_TRUE(asNobody(home.path(), [&] {
    return moveTo(home / "Shared/Applications/Quendrel.app") ==
           Outcome(Settling::Failed{"It could not be copied there (Permission denied)."});
  }));
  EXPECT_EQ(namesIn(home / "Shared/Applications"), Names{});
}

TEST_F(Sandboxed, UnquarantiningLendsTheOwnerWritePermissionAndGivesItBack) {
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

  EXPECT_TRUE(asNobody(home.path(), [&] { return Settling::unquarantine(copy); }));
  for (const fs::path& item : {copy, program, locked, payload}) {
    EXPECT_FALSE(attributes::has(item, attributes::quarantine)) << item;
  }
  EXPECT_EQ(Platform::lookAt(locked)->mode, 0400u) << "the mode is given back";
  EXPECT_EQ(Platform::lookAt(payload)->mode, 0500u);
}

TEST(MountTable, LinesAreReadWithTheirEscapesAndImagesKnownByKind) {
  auto table = Platform::parseMountInfo(
      "90 26 7:3 / /Volumes/Quendrel\\0402 ro,relatime shared:5 master:1 - squashfs /dev/loop3 ro\n"
      "short line\n");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(std::tuple(table[0].mountPoint, table[0].type, table[0].source),
            std::tuple("/Volumes/Quendrel 2", "squashfs", "/dev/loop3"));
  EXPECT_TRUE(Platform::isDiskImage("fuse.squashfuse_ll", "squashfuse_ll"));
  EXPECT_FALSE(Platform::isDiskImage("squashfs", "/dev/sda1")) << "a real disk";
  EXPECT_FALSE(Platform::isDiskImage("fuse.sshfs", "host:/"));
}

TEST_F(DiskImages, AnAttachedImageIsFoundAndEjectedOnceNothingRunsFromIt) {
  auto attached = DiskImage::attach(image, "/Volumes/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(attached))
      << std::get<DiskImage::Unattached>(attached).why;
  EXPECT_EQ(std::get<DiskImage::Attached>(attached).how, DiskImage::How::fuse);
  const fs::path app = "/Volumes/Quendrel/Quendrel.app";
  EXPECT_EQ(Settling::diskImage(app / "Contents/Info.plist"), "/Volumes/Quendrel");
  EXPECT_FALSE(Settling::diskImage("/Volumes/Quendrel/Applications/x"))
      << "a link out of the image leads off it";
  {
    Running fromImage(programOf(app), polite);
    EXPECT_TRUE(Settling::inUse("/Volumes/Quendrel"));
    EXPECT_FALSE(Settling::inUse("/Volumes/Quendre")) << "a name's beginning is not a folder";
    EXPECT_FALSE(Settling::eject("/Volumes/Quendrel")) << "busy: never forced";
  }
  EXPECT_TRUE(Settling::eject("/Volumes/Quendrel"));
  EXPECT_FALSE(mounted("/Volumes/Quendrel"));
}

TEST_F(DiskImages, OtherMountsAreNeverEjectedAndBadImagesNeverAttached) {
  fs::create_directories("/Volumes/Scratch");
  ASSERT_EQ(mount("scratch", "/Volumes/Scratch", "tmpfs", 0, nullptr), 0);
  write("/Volumes/Scratch/Quendrel.app/Contents/Info.plist", "<plist/>");
  EXPECT_FALSE(Settling::diskImage("/Volumes/Scratch/Quendrel.app"));
  EXPECT_FALSE(Settling::eject("/Volumes/Scratch"));
  EXPECT_TRUE(mounted("/Volumes/Scratch"));

  write(home / "garbage.squashfs", std::string(8192, 'x'));
  EXPECT_TRUE(std::holds_alternative<DiskImage::Unattached>(
      DiskImage::attach(home / "garbage.squashfs", "/Volumes/Garbage")));
  EXPECT_TRUE(
      std::holds_alternative<DiskImage::Unattached>(DiskImage::attach(image, "/Volumes/Scratch")))
      << "never over something that is there";
  EXPECT_FALSE(mounted("/Volumes/Garbage"));
}
