// Disk images: attached, recognised from the mount table, and ejected only when unused.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "placement/Applications.h"
#include "placement/DiskImage.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "platform/Images.h"
#include "platform/Mounts.h"
#include "platform/Process.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "support/Sandbox.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::inSandbox;
using testing_support::mounted;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

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

TEST(MountTable, LinesAreReadWithTheirEscapesAndImagesKnownByKind) {
  auto table = Platform::parseMountInfo(
      "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "90 26 7:3 / /Volumes/Quendrel\\0402 ro,relatime shared:5 master:1 - squashfs /dev/loop3 ro\n"
      "91 26 0:77 / /media/back\\134slash rw - fuse.squashfuse squashfuse rw,user_id=0\n"
      "short line\n"
      "92 26 0:78 / /x rw no-dash-here\n"
      "\n");
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[1].mountPoint, "/Volumes/Quendrel 2");
  EXPECT_EQ(table[1].type, "squashfs");
  EXPECT_EQ(table[1].source, "/dev/loop3");
  EXPECT_EQ(table[2].mountPoint, "/media/back\\slash");

  const std::tuple<const char*, const char*, bool> kinds[] = {
      {"squashfs", "/dev/loop3", true},
      {"iso9660", "/dev/loop0", true},
      {"udf", "/dev/loop12", true},
      {"fuse.squashfuse", "squashfuse", true},
      {"fuse.squashfuse_ll", "squashfuse_ll", true},
      {"squashfs", "/dev/sda1", false},  // a real disk
      {"iso9660", "/dev/sr0", false},    // a real CD
      {"ext4", "/dev/loop1", false},
      {"fuse.sshfs", "host:/", false},
      {"tmpfs", "tmpfs", false},
  };
  for (const auto& [type, source, image] : kinds) {
    EXPECT_EQ(Platform::isDiskImage(type, source), image) << type << " " << source;
  }
}

TEST_F(DiskImages, AnAttachedImageIsFoundAndEjectedOnceNothingRunsFromIt) {
  auto attached = DiskImage::attach(image, "/Volumes/Quendrel");
  ASSERT_TRUE(std::holds_alternative<DiskImage::Attached>(attached))
      << std::get<DiskImage::Unattached>(attached).why;
  DiskImage::Attachment attachment(std::get<DiskImage::Attached>(attached));
  EXPECT_EQ(attachment.how(), DiskImage::How::fuse);
  const fs::path app = "/Volumes/Quendrel/Quendrel.app";
  EXPECT_TRUE(valid(app)) << "the image keeps every mode, link and byte";

  EXPECT_EQ(Settling::diskImage(app), "/Volumes/Quendrel");
  EXPECT_EQ(Settling::diskImage(app / "Contents/Info.plist"), "/Volumes/Quendrel");
  EXPECT_EQ(Settling::diskImage("/Volumes/Quendrel"), "/Volumes/Quendrel");
  EXPECT_FALSE(Settling::diskImage("/Volumes/Quendrel/Applications/x"))
      << "a link out of the image leads off it";
  EXPECT_FALSE(Settling::diskImage(home.path()));
  EXPECT_FALSE(Settling::diskImage("/Volumes"));
  EXPECT_FALSE(Settling::diskImage(home / "missing"));
  EXPECT_EQ(Settling::describe(app), "its disk image");

  {
    Running fromImage(programOf(app), polite);
    EXPECT_TRUE(Settling::inUse("/Volumes/Quendrel"));
    EXPECT_FALSE(Settling::inUse("/Volumes/Quendre")) << "a name's beginning is not a folder";
    EXPECT_FALSE(Settling::eject("/Volumes/Quendrel")) << "busy: never forced";
    EXPECT_TRUE(mounted("/Volumes/Quendrel"));
  }
  EXPECT_FALSE(Settling::inUse("/Volumes/Quendrel"));
  EXPECT_TRUE(Settling::eject("/Volumes/Quendrel"));
  EXPECT_FALSE(mounted("/Volumes/Quendrel"));
  EXPECT_FALSE(Settling::diskImage(app));
  EXPECT_FALSE(Settling::eject("/Volumes/Quendrel")) << "nothing left to eject";
}

TEST_F(DiskImages, LoopMountsAreImagesToo) {
  if (access("/dev/loop-control", W_OK) != 0) GTEST_SKIP() << "this machine has no loop devices";

  fs::create_directories("/media/Quendrel");
  auto ran = Platform::run({"/usr/bin/mount",
                            {"-t", "squashfs", "-o", "loop,ro", image.string(), "/media/Quendrel"},
                            ""},
                           Platform::Output::pipe);
  auto* exited = std::get_if<Platform::Exited>(&ran);
  ASSERT_TRUE(exited && exited->status == 0) << "the loop mount failed";
  EXPECT_EQ(Settling::diskImage("/media/Quendrel/Quendrel.app"), "/media/Quendrel");
  EXPECT_TRUE(Settling::eject("/media/Quendrel"));
  EXPECT_FALSE(mounted("/media/Quendrel"));
}

TEST_F(DiskImages, ExtractionIsDetachedUnlessSomethingRunsFromIt) {
  // Laid out when it cannot be mounted: detaching removes it, unless something runs from it.
  DiskImage::Attached laidOut{"/media/Laid out", DiskImage::How::extracted};
  auto ran = Platform::run({"/usr/bin/unsquashfs",
                            {"-no-progress", "-quiet", "-d", "/media/Laid out", image.string()},
                            ""},
                           Platform::Output::pipe);
  ASSERT_TRUE(valid("/media/Laid out/Quendrel.app"));
  EXPECT_FALSE(Settling::diskImage("/media/Laid out/Quendrel.app")) << "a folder, not a disk image";
  {
    Running fromIt(programOf("/media/Laid out/Quendrel.app"), polite);
    EXPECT_FALSE(DiskImage::detach(laidOut));
    EXPECT_TRUE(fs::exists("/media/Laid out/Quendrel.app"));
  }
  EXPECT_TRUE(DiskImage::detach(laidOut));
  EXPECT_FALSE(fs::exists("/media/Laid out"));
}

TEST_F(DiskImages, OtherMountsAreNeverEjectedAndBadImagesNeverAttached) {
  fs::create_directories("/Volumes/Scratch");
  ASSERT_EQ(mount("scratch", "/Volumes/Scratch", "tmpfs", 0, nullptr), 0);
  write("/Volumes/Scratch/Quendrel.app/Contents/Info.plist", "<plist/>");
  EXPECT_FALSE(Settling::diskImage("/Volumes/Scratch/Quendrel.app"));
  EXPECT_FALSE(Settling::eject("/Volumes/Scratch"));
  EXPECT_TRUE(mounted("/Volumes/Scratch"));

  write(home / "garbage.squashfs", std::string(8192, 'x'));
  auto attached = DiskImage::attach(home / "garbage.squashfs", "/Volumes/Garbage");
  EXPECT_TRUE(std::holds_alternative<DiskImage::Unattached>(attached));
  EXPECT_FALSE(mounted("/Volumes/Garbage"));
  EXPECT_FALSE(fs::exists("/Volumes/Garbage/anything"));
  EXPECT_TRUE(std::holds_alternative<DiskImage::Unattached>(
      DiskImage::attach(home / "missing.squashfs", "/Volumes/Missing")));
  EXPECT_TRUE(std::holds_alternative<DiskImage::Unattached>(
      DiskImage::attach(home / "garbage.squashfs", "/Volumes/Scratch")))
      << "never over something that is there";
}
