#include <gtest/gtest.h>

#include "placement/Identity.h"
#include "support/Home.h"

using testing_support::Home;
using testing_support::makeBundle;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

const std::string binaryPlist(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd3\x01\x02\x03\x04\x05\x06\x5f\x10\x12\x43\x46\x42\x75\x6e"
    "\x64\x6c\x65\x49\x64\x65\x6e\x74\x69\x66\x69\x65\x72\x5f\x10\x1a\x43\x46\x42\x75\x6e\x64\x6c"
    "\x65\x53\x68\x6f\x72\x74\x56\x65\x72\x73\x69\x6f\x6e\x53\x74\x72\x69\x6e\x67\x5f\x10\x0f\x43"
    "\x46\x42\x75\x6e\x64\x6c\x65\x56\x65\x72\x73\x69\x6f\x6e\x5f\x10\x15\x63\x6f\x6d\x2e\x74\x61"
    "\x72\x76\x69\x63\x6f\x6e\x65\x2e\x6d\x61\x6e\x61\x67\x65\x72\x54\x31\x2e\x31\x30\x51\x37\x08"
    "\x0f\x24\x41\x53\x6b\x70\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x07\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x72",
    153);

}  // namespace

TEST(Identity, ReadFromXmlAndBinaryInfoFiles) {
  Home home;
  makeBundle(home / "Quendrel.app", "com.quendrel.manager", "1.9", "12");
  EXPECT_EQ(Settling::identity(home / "Quendrel.app"), "com.quendrel.manager");
  EXPECT_TRUE(Settling::isOurs(home / "Quendrel.app"));
  EXPECT_EQ(Settling::version(home / "Quendrel.app"), "1.9");
  EXPECT_EQ(Settling::build(home / "Quendrel.app"), "12");

  write(home / "Old.app/Contents/Info.plist", binaryPlist);
  EXPECT_EQ(Settling::identity(home / "Old.app"), "com.tarvicone.manager");
  EXPECT_TRUE(Settling::isOurs(home / "Old.app")) << "the earlier product's identity is ours";
  EXPECT_EQ(Settling::version(home / "Old.app"), "1.10");
  EXPECT_EQ(Settling::build(home / "Old.app"), "7");

  makeBundle(home / "Quendrel2.app", "org.example.other", "5");
  EXPECT_FALSE(Settling::isOurs(home / "Quendrel2.app")) << "the name does not make it ours";
}

TEST(Identity, UnreadableInfoFilesGiveNothing) {
  Home home;
  const char* bodies[] = {
      nullptr,  // no Info.plist at all
      "",
      "<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>",
      "<?xml version=\"1.0\"?><plist><dict><key>CFBundleIdentifier</key>",
      "<?xml version=\"1.0\"?><plist><dict><key>CFBundleIdentifier</key><integer>3</integer>"
      "<key>CFBundleShortVersionString</key><real>1.5</real></dict></plist>",
      "bplist00\xff\xff\xff garbage",
  };
  for (const char* body : bodies) {
    const auto app = home / "Broken.app";
    fs::remove_all(app);
    if (body) write(app / "Contents/Info.plist", body);
    EXPECT_FALSE(Settling::identity(app)) << body;
    EXPECT_FALSE(Settling::isOurs(app));
    EXPECT_EQ(Settling::version(app), "");
    EXPECT_EQ(Settling::build(app), "");
  }
}

TEST(Identity, PairOrderOfVersionAndBuild) {
  using P = Settling::Pair;
  const std::tuple<P, P, bool> cases[] = {
      {{"1.10", "1"}, {"1.9", "7"}, true},   {{"1.2", "5"}, {"1.2.0", "5"}, false},
      {{"1.2.0", "5"}, {"1.2", "5"}, false}, {{"1.2", "10"}, {"1.2.0", "9"}, true},
      {{"", ""}, {"", ""}, false},           {{"1", ""}, {"", "99"}, true},
      {{"0", "2"}, {"", "1"}, true},  // version 0 equals no version
      {{"", "1"}, {"0", "2"}, false},
  };
  for (const auto& [a, b, newer] : cases) {
    EXPECT_EQ(Settling::newer(a, b), newer) << a.first << "/" << a.second;
  }
}
