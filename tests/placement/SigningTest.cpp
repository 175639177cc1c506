#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "signing/CodeSign.h"
#include "signing/Manifest.h"
#include "support/Copies.h"
#include "support/Home.h"
#include "text/Text.h"

using namespace placement_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

namespace {

std::string why(const fs::path& bundle) {
  auto verdict = CodeSign::verify(bundle);
  auto* invalid = std::get_if<CodeSign::Invalid>(&verdict);
  return invalid ? invalid->why : "valid";
}

Ran codesign(const std::vector<std::string>& args) {
  return run(BUILD_ROOT "/quendrel-codesign", args);
}

const fs::path manifestOf(const fs::path& bundle) {
  return bundle / "Contents/_CodeSignature/Manifest";
}

}  // namespace

TEST(Signing, ASignedBundleIsValidUntilAnythingInItChanges) {
  Home home;
  Key ours = makeKey(home / "ours"), theirs = makeKey(home / "theirs");
  EXPECT_NE(ours.team, theirs.team);
  EXPECT_EQ(ours.team.size(), 10u);
  EXPECT_EQ(ours.team.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  makeApp(home / "Theirs.app", {}, &theirs);
  const fs::path app = home / "Quendrel.app", contents = app / "Contents";
  const fs::path program = contents / "MacOS/Quendrel", setup = contents / "Resources/setup";
  const struct {
    std::function<void()> change;
    std::string why;
  } cases[] = {
      {[] {}, "valid"},
      {[&] { write(program, read(program), 0755); }, "valid"},
      {[&] { sign(app, ours); }, "valid"},
      {[&] {
         std::string bytes = read(program);
         bytes[bytes.size() / 2] ^= 1;
         write(program, bytes, 0755);
       },
       "Contents/MacOS/Quendrel was changed"},
      {[&] { fs::permissions(program, static_cast<fs::perms>(0775)); },
       "Contents/MacOS/Quendrel changed its mode from 0755 to 0775"},
      {[&] { write(contents / "Resources/extra.txt", "hello"); },
       "Contents/Resources/extra.txt was added"},
      {[&] { fs::create_directory(contents / "Resources/empty"); },
       "Contents/Resources/empty was added"},
      {[&] { fs::remove(contents / "Resources/payload/presets/README"); },
       "Contents/Resources/payload/presets/README is missing"},
      {[&] {
         fs::remove(setup);
         fs::create_symlink("payload/presets/README", setup);
       },
       "Contents/Resources/setup points elsewhere"},
      {[&] {
         fs::remove(setup);
         write(setup, "#!/bin/bash\necho set up\n");
       },
       "Contents/Resources/setup is no longer a link"},
      {[&] { write(manifestOf(app).parent_path() / "Notes", "unsigned words"); },
       "Contents/_CodeSignature holds more than the signature"},
      {[&] { write(manifestOf(app), read(manifestOf(home / "Theirs.app"))); },
       "the signature does not match the manifest"},
      {[&] { write(contents / "_CodeSignature/Signature", "00\n"); }, "the signature is damaged"},
      {[&] { fs::remove(contents / "_CodeSignature/Signature"); }, "the signature is damaged"},
      {[&] {
         fs::remove_all(contents / "_CodeSignature");
         write(contents / "_CodeSignature", "a file where the folder should be");
       },
       "the signature is damaged"},
      {[&] { fs::remove_all(contents / "_CodeSignature"); }, "not signed"},
  };
  for (const auto& c : cases) {
    fs::remove_all(app);
    makeApp(app, {}, &ours);
    c.change();
    EXPECT_EQ(why(app), c.why);
  }

  // A copy is intact only when it is signed alike and holds the same bundle.
  makeApp(home / "A.app", {}, &ours);
  makeApp(home / "Tarvic.app", {"com.tarvicone.manager"}, &ours);
  fs::copy(home / "A.app", home / "Copy.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::copy(home / "A.app", home / "Forged.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  write(home / "Forged.app/Contents/MacOS/Quendrel", "#!/bin/sh\necho forged\n", 0755);
  sign(home / "Forged.app", theirs);  // re-signed by another key, our key's name inside
  EXPECT_TRUE(CodeSign::intact(home / "Copy.app", home / "A.app"));
  EXPECT_FALSE(CodeSign::intact(home / "Theirs.app", home / "A.app"));
  EXPECT_FALSE(CodeSign::intact(home / "Tarvic.app", home / "A.app"));
  EXPECT_FALSE(CodeSign::intact(home / "Forged.app", home / "A.app"));
  EXPECT_FALSE(CodeSign::intact(app, app)) << "an unsigned source can never be matched";
}

// Verifying hashes a bundle's files on two threads; whichever thread finds a change, the
// verdict names the first changed file in manifest order, every time.
TEST(Signing, TheFirstChangedFileIsNamedWhicheverThreadFindsIt) {
  Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app";
  const fs::path many = app / "Contents/Resources/many";
  for (int i = 0; i < 200; ++i) {
    // 140 is large: while one thread hashes it, the other finds 141 changed first.
    const std::size_t size = i == 40 ? 16u << 20 : 1 + (i * 7919) % 70000;
    write(many / (std::to_string(100 + i) + ".bin"),
          std::string(size, static_cast<char>('a' + i % 26)));
  }
  makeApp(app, {}, &key);
  EXPECT_EQ(why(app), "valid");

  const int changed[] = {290, 141, 140};
  for (int name : changed) {
    const fs::path file = many / (std::to_string(name) + ".bin");
    std::string bytes = read(file);
    bytes.back() ^= 1;  // same size: only the digest tells
    write(file, bytes);
  }
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(why(app), "Contents/Resources/many/140.bin was changed") << "round " << round;
  }
  fs::remove(many / "140.bin");
  EXPECT_EQ(why(app), "Contents/Resources/many/140.bin is missing") << "the shape comes first";
}

TEST(Signing, HostileManifestsAreRefusedWithoutHarm) {
  Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app";
  makeApp(app, {}, &key);
  const std::string good = read(manifestOf(app));
  ASSERT_TRUE(CodeSign::read(good));
  EXPECT_EQ(CodeSign::write(*CodeSign::read(good)), good);

  const std::string head = good.substr(0, good.find("folder "));
  const std::string digest(64, 'a');
  for (const std::string& body : std::vector<std::string>{
           "",
           "\n",
           std::string(5000, '\0'),
           "garbage\nmore garbage\n",
           head + "folder 0755 ../outside\n",
           head + "folder 0755 /etc\n",
           head + "folder 0755 Contents//x\n",
           head + "folder 0755 Contents/./x\n",
           head + "folder 0755 Contents/_CodeSignature\n",
           head + "file 0644 1 " + digest + " Contents/_CodeSignature/Manifest\n",
           head + "folder 0755 b\nfolder 0755 a\n",
           head + "folder 0755 a\nfolder 0755 a\n",
           head + "folder 0855 a\n",
           head + "folder 755 a\n",
           head + "file 0644 -1 " + digest + " a\n",
           head + "file 0644 99999999999999999999999 " + digest + " a\n",
           head + "file 0644 1 " + std::string(64, 'A') + " a\n",
           head + "file 0644 1 " + digest + "\n",
           head + "link 0777  a\n",
           head + "link 0777 %zz a\n",
           head + "link 0777 x%0 a\n",
           head + "link 0777 x%00y a\n",
           head + "folder 0755 a%20b c\n",
           head + "folder 0755 a",
           head + "chardevice 0644 a\n",
           good + good,
           good.substr(0, good.size() - 1) + "\r\n",
       }) {
    EXPECT_FALSE(CodeSign::read(body)) << body.substr(0, 200);
    write(manifestOf(app), body);
    EXPECT_EQ(why(app), "the signature is damaged") << body.substr(0, 200);
  }

  // A huge manifest is refused unread.
  {
    int fd = open(manifestOf(app).c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(CodeSign::largestManifest + 1)), 0);
    close(fd);
  }
  EXPECT_EQ(why(app), "the signature is damaged");
  fs::remove(manifestOf(app));
  fs::create_symlink(home / "elsewhere", manifestOf(app));
  write(home / "elsewhere", good);
  EXPECT_EQ(why(app), "the signature is damaged") << "a link is not the manifest";
}

TEST(Signing, UnusualNamesAndEmptyFilesSurviveTheRoundTrip) {
  Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app";
  makeApp(app, {}, &key);
  write(app / "Contents/Resources/with space %41 and\nnewline", "x");
  write(app / "Contents/Resources/Ünïcödé — “quoted”", "");
  fs::create_symlink("../a target with spaces/%", app / "Contents/Resources/odd link");
  write(app / "Contents/Resources/setuid", "#!/bin/sh\n", 04755);
  sign(app, key);
  EXPECT_EQ(why(app), "valid");
  write(app / "Contents/Resources/Ünïcödé — “quoted”", "now with bytes");
  EXPECT_EQ(why(app), "Contents/Resources/Ünïcödé — “quoted” was changed");
}

TEST(Signing, BundlesWithSpecialFilesCannotBeSigned) {
  Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app";
  makeApp(app, {}, nullptr);
  ASSERT_EQ(mkfifo((app / "Contents/Resources/pipe").c_str(), 0644), 0);
  auto problem = CodeSign::sign(app, key.secret);
  ASSERT_TRUE(problem);
  EXPECT_EQ(*problem, "Contents/Resources/pipe is neither a file, a folder nor a link");
  EXPECT_EQ(why(app), "not signed");

  makeApp(home / "NoId.app", {""}, nullptr);
  EXPECT_EQ(CodeSign::sign(home / "NoId.app", key.secret), "Info.plist has no CFBundleIdentifier");
  EXPECT_EQ(CodeSign::sign(home / "NoId.app", "short"), "the key is not a signing key");
}

TEST(Signing, KeysAreMadeOnceAndPrivately) {
  Home home;
  const fs::path file = home / "keys/dev.key";
  fs::create_directories(file.parent_path());
  EXPECT_FALSE(CodeSign::makeKey(file));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string first = read(file);
  EXPECT_EQ(CodeSign::makeKey(file), file.string() + " already exists");
  EXPECT_EQ(read(file), first) << "never overwritten";
  ASSERT_TRUE(CodeSign::readKey(file));

  std::string damaged = first;
  damaged[30] = damaged[30] == 'a' ? 'b' : 'a';  // the stored public half no longer fits
  write(home / "damaged.key", damaged);
  EXPECT_FALSE(CodeSign::readKey(home / "damaged.key"));
  write(home / "short.key", first.substr(0, 40));
  EXPECT_FALSE(CodeSign::readKey(home / "short.key"));
  EXPECT_FALSE(CodeSign::readKey(home / "missing.key"));
}

TEST(Signing, TheToolSignsVerifiesAndSaysWhyInOneLine) {
  Home home;
  const std::string key = (home / "dev.key").string();
  Ran made = codesign({"keygen", key});
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_EQ(made.output.rfind("team ", 0), 0u);
  EXPECT_EQ(made.output.size(), std::string("team 0123456789\n").size());
  EXPECT_EQ(codesign({"keygen", key}).status, 1) << "an existing key is kept";

  makeApp(home / "Quendrel.app", {}, nullptr);
  const std::string app = (home / "Quendrel.app").string();
  Ran unsigned_ = codesign({"verify", app});
  EXPECT_EQ(unsigned_.status, 1);
  EXPECT_EQ(unsigned_.output, app + ": not signed\n");

  Ran signed_ = codesign({"sign", app, "--key", key});
  ASSERT_EQ(signed_.status, 0) << signed_.output;
  Ran verified = codesign({"verify", app});
  EXPECT_EQ(verified.status, 0);
  EXPECT_EQ(verified.output, app + ": valid, com.quendrel.manager, team " + made.output.substr(5));

  Key other = makeKey(home / "other");
  makeApp(home / "Other.app", {}, &other);
  fs::copy(home / "Quendrel.app", home / "Copy.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  EXPECT_EQ(codesign({"verify", (home / "Copy.app").string(), "--like", app}).status, 0);
  Ran unlike = codesign({"verify", (home / "Other.app").string(), "--like", app});
  EXPECT_EQ(unlike.status, 1);
  EXPECT_EQ(unlike.output, (home / "Other.app").string() + ": signed by team " + other.team +
                               ", not team " + made.output.substr(5, 10) + "\n");
  EXPECT_EQ(codesign({"verify", app, "--like", (home / "nothing.app").string()}).status, 1);

  write(home / "Quendrel.app/Contents/Info.plist", "<plist/>");
  Ran tampered = codesign({"verify", app});
  EXPECT_EQ(tampered.status, 1);
  EXPECT_EQ(Text::nonEmptyLines(tampered.output).size(), 1u) << tampered.output;
  EXPECT_EQ(codesign({"sign", app, "--key", (home / "nothing.key").string()}).status, 1);
  EXPECT_EQ(codesign({"frobnicate"}).status, 2);
}

// A key file made before, in the same format, signs the same bundle to the same bytes, and
// that signature verifies: keys and signatures never changed with the crypto library. The
// expected signature was made with libsodium.
TEST(Signing, AKeyFromBeforeSignsToTheSameBytes) {
  Home home;
  const std::string seed = "01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da";
  const std::string publicKey = "e4030998cfd5ad1723c169f956aa0b9eb8619b5992bd612c2af428ebc79f8df0";
  write(home / "old.key", "Quendrel signing key 1\n" + seed + publicKey + "\n", 0600);
  const auto key = CodeSign::readKey(home / "old.key");
  ASSERT_TRUE(key);
  EXPECT_EQ(CodeSign::publicKeyOf(*key), CodeSign::unhex(publicKey));

  // The bundle is written out here, byte for byte, so that the signature cannot change with
  // the test helpers.
  const fs::path app = home / "Old.app";
  write(app / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "  <key>CFBundleIdentifier</key>\n  <string>com.quendrel.manager</string>\n"
        "  <key>CFBundleShortVersionString</key>\n  <string>1.0</string>\n"
        "  <key>CFBundleVersion</key>\n  <string>1</string>\n"
        "  <key>CFBundleExecutable</key>\n  <string>Quendrel</string>\n"
        "</dict>\n</plist>\n");
  write(app / "Contents/MacOS/Quendrel", "#!/bin/sh\nexit 0\n", 0755);
  write(app / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0755);
  write(app / "Contents/Resources/payload/presets/README", "Presets live here.\n");
  fs::create_symlink("payload/setup.sh", app / "Contents/Resources/setup");
  for (const auto& item : fs::recursive_directory_iterator(app)) {
    if (item.is_symlink()) continue;
    const bool runs = item.is_directory() ||
                      (fs::status(item).permissions() & fs::perms::owner_exec) != fs::perms::none;
    fs::permissions(item, static_cast<fs::perms>(runs ? 0755 : 0644));
  }
  ASSERT_EQ(CodeSign::sign(app, *key), std::nullopt);
  const std::string signature =
      "56757bd64d6ac8f23a5bd088f68015ef7afbe903411123794e88f54c459b1204"
      "923b1c6ca4b643a5f65f41742ab1ec922cd67e5b52d502d786814227afe5c002\n";
  EXPECT_EQ(read(app / "Contents/_CodeSignature/Signature"), signature);
  EXPECT_EQ(why(app), "valid");
}
