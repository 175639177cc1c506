#include <sys/stat.h>

#include <gtest/gtest.h>

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "placement/Moving.h"
#include "signing/CodeSign.h"
#include "signing/Manifest.h"
#include "support/Copies.h"
#include "support/Home.h"

using namespace placement_testing;
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

// A home with a key and a bundle signed with it.
struct Signed : ::testing::Test {
  void SetUp() override { makeApp(app, {}, &key); }
  testing_support::Home home;
  Key key = makeKey(home / "key");
  const fs::path app = home / "Quendrel.app", contents = app / "Contents";
  const fs::path manifest = contents / "_CodeSignature/Manifest";
};

}  // namespace

TEST_F(Signed, ValidUntilAnythingInItChangesWhateverItsNamesAndOnlyACanonicalManifestReads) {
  Key theirs = makeKey(home / "theirs");
  makeApp(home / "Theirs.app", {}, &theirs);
  const fs::path program = contents / "MacOS/Quendrel", setup = contents / "Resources/setup";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { fs::permissions(program, static_cast<fs::perms>(0775)); },
       "Contents/MacOS/Quendrel changed its mode from 0755 to 0775"},
      {[&] { fs::create_directory(contents / "Resources/empty"); },
       "Contents/Resources/empty was added"},
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
      {[&] { write(manifest.parent_path() / "Notes", "unsigned words"); },
       "Contents/_CodeSignature holds more than the signature"},
      {[&] { write(manifest, read(home / "Theirs.app/Contents/_CodeSignature/Manifest")); },
       "the signature does not match the manifest"},
      {[&] { write(contents / "_CodeSignature/Signature", "00\n"); }, "the signature is damaged"},
      {[&] { fs::remove_all(contents / "_CodeSignature"); }, "not signed"},
  };
  for (const auto& [change, said] : cases) {
    fs::remove_all(app);
    makeApp(app, {}, &key);
    change();
    EXPECT_EQ(why(app), said);
  }

  // A copy is intact only when it is signed alike: the same key and identifier.
  makeApp(app, {}, &key);
  makeApp(home / "Tarvic.app", {"com.tarvicone.manager"}, &key);
  EXPECT_FALSE(CodeSign::intact(home / "Tarvic.app", app));
  EXPECT_FALSE(CodeSign::intact(home / "Theirs.app", app));

  // Unusual names survive the round trip.
  const fs::path resources = contents / "Resources";
  write(resources / "with space %41 and\nnewline", "x");
  write(resources / "Ünïcödé — “quoted”", "");
  fs::create_symlink("../a target with spaces/%", resources / "odd link");
  write(resources / "setuid", "#!/bin/sh\n", 04755);
  sign(app, key);
  EXPECT_EQ(why(app), "valid");

  // Only the one canonical manifest reads.
  const std::string good = read(manifest);
  ASSERT_TRUE(CodeSign::read(good));
  const std::string head = good.substr(0, good.find("folder "));
  for (const std::string& body : std::vector<std::string>{
           head + "folder 0755 a", head + "folder 0755 ../outside\n", head + "folder 0755 /etc\n",
           head + "file 0644 1 " + std::string(64, 'a') + " Contents/_CodeSignature/Manifest\n",
           head + "folder 0755 b\nfolder 0755 a\n", head + "folder 0755 a\nfolder 0755 a\n",
           head + "folder 0755 Contents//x\n", head + "chardevice 0644 a\n",
           head + "file 0644 1 " + std::string(64, 'A') + " a\n", head + "link 0777 x%00y a\n",
           good.substr(0, good.size() - 1) + "\r\n"}) {
    EXPECT_FALSE(CodeSign::read(body)) << body.substr(0, 200);
  }
  write(manifest, "garbage\n");
  EXPECT_EQ(why(app), "the signature is damaged");
  fs::remove(manifest);
  fs::create_symlink(home / "elsewhere", manifest);
  write(home / "elsewhere", good);
  EXPECT_EQ(why(app), "the signature is damaged") << "a link is not the manifest";

  // Special files cannot be signed.
  fs::remove_all(contents / "_CodeSignature");
  ASSERT_EQ(mkfifo((resources / "pipe").c_str(), 0644), 0);
  EXPECT_EQ(CodeSign::sign(app, key.secret),
            "Contents/Resources/pipe is neither a file, a folder nor a link");
  EXPECT_EQ(why(app), "not signed");
  makeApp(home / "NoId.app", {""}, nullptr);
  EXPECT_EQ(CodeSign::sign(home / "NoId.app", key.secret), "Info.plist has no CFBundleIdentifier");
  EXPECT_EQ(CodeSign::sign(home / "NoId.app", "short"), "the key is not a signing key");
}

// Verifying hashes a bundle's files on two threads; whichever thread finds a change, the
// verdict names the first changed file in manifest order, every time.
TEST_F(Signed, TheFirstChangedFileIsNamedWhicheverThreadFindsIt) {
  const fs::path many = contents / "Resources/many";
  for (int i = 0; i < 200; ++i) {
    // 140 is large: while one thread hashes it, the other finds 141 changed first.
    const std::size_t size = i == 40 ? 16u << 20 : 1 + (i * 7919) % 70000;
    write(many / (std::to_string(100 + i) + ".bin"),
          std::string(size, static_cast<char>('a' + i % 26)));
  }
  sign(app, key);
  EXPECT_EQ(why(app), "valid");
  for (int name : {290, 141, 140}) {
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

TEST_F(Signed, TheToolMakesKeysOnceAndPrivatelyAndAKeyFromBeforeSignsToTheSameBytes) {
  const std::string file = (home / "dev.key").string(), other = (home / "Other.app").string();
  Ran made = codesign({"keygen", file});
  ASSERT_EQ(std::tuple(made.status, made.output.size()), std::tuple(0, 16u)) << made.output;
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string first = read(file), team = made.output.substr(5, 10);
  EXPECT_EQ(codesign({"keygen", file}).output, file + " already exists\n");
  EXPECT_EQ(read(file), first) << "never overwritten";

  makeApp(other, {}, nullptr);
  ASSERT_EQ(codesign({"sign", other, "--key", file}).status, 0);
  Ran unlike = codesign({"verify", app.string(), "--like", other});
  EXPECT_EQ(
      std::tuple(unlike.status, unlike.output),
      std::tuple(1, app.string() + ": signed by team " + key.team + ", not team " + team + "\n"));

  // A key file made before, in the same format, signs the same bundle to the same bytes, and
  // that signature verifies: keys and signatures never changed with the crypto library. The
  // expected signature was made with libsodium.
  const std::string seed = "01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da";
  const std::string publicKey = "e4030998cfd5ad1723c169f956aa0b9eb8619b5992bd612c2af428ebc79f8df0";
  write(home / "old.key", "Quendrel signing key 1\n" + seed + publicKey + "\n", 0600);
  const auto older = CodeSign::readKey(home / "old.key");
  ASSERT_TRUE(older);
  EXPECT_EQ(CodeSign::publicKeyOf(*older), CodeSign::unhex(publicKey));

  // The bundle is written out here, byte for byte, so that the signature cannot change with
  // the test helpers.
  const fs::path old = home / "Old.app";
  umask(022);  // the folders' modes are signed too
  write(old / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "  <key>CFBundleIdentifier</key>\n  <string>com.quendrel.manager</string>\n"
        "  <key>CFBundleShortVersionString</key>\n  <string>1.0</string>\n"
        "  <key>CFBundleVersion</key>\n  <string>1</string>\n"
        "  <key>CFBundleExecutable</key>\n  <string>Quendrel</string>\n"
        "</dict>\n</plist>\n");
  write(old / "Contents/MacOS/Quendrel", "#!/bin/sh\nexit 0\n", 0755);
  write(old / "Contents/Resources/payload/setup.sh", "#!/bin/bash\necho set up\n", 0755);
  write(old / "Contents/Resources/payload/presets/README", "Presets live here.\n");
  fs::create_symlink("payload/setup.sh", old / "Contents/Resources/setup");
  ASSERT_EQ(CodeSign::sign(old, *older), std::nullopt);
  EXPECT_EQ(read(old / "Contents/_CodeSignature/Signature"),
            "56757bd64d6ac8f23a5bd088f68015ef7afbe903411123794e88f54c459b1204"
            "923b1c6ca4b643a5f65f41742ab1ec922cd67e5b52d502d786814227afe5c002\n");
  EXPECT_EQ(why(old), "valid");
}
