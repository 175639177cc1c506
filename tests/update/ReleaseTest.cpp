// quendrel-release: one command from a built bundle to a published version.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/Digest.h"
#include "signing/CodeSign.h"
#include "support/Home.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::Home;
using testing_support::read;
using testing_support::write;
namespace fs = std::filesystem;

TEST(Release, SignsTheBundleMakesItsImageAndNamesItInTheFeed) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path app = home / "build/Some Name.app";
  makeApp(app, "2.1", nullptr);
  const fs::path out = home / "releases";

  auto ran = release(app, key, out);
  ASSERT_EQ(ran.status, 0) << ran.output;
  EXPECT_NE(ran.output.find("Quendrel 2.1 published"), std::string::npos) << ran.output;
  auto verdict = CodeSign::verify(app);
  ASSERT_TRUE(std::holds_alternative<CodeSign::Signer>(verdict));
  EXPECT_EQ(std::get<CodeSign::Signer>(verdict).publicKey, *CodeSign::publicKeyOf(key.secret));

  auto feed = nlohmann::json::parse(read(out / "latest.json"));
  EXPECT_EQ(feed["version"], "2.1");
  EXPECT_EQ(feed["file"], "Quendrel-2.1.img");
  EXPECT_EQ(feed["sha256"], *Platform::sha256OfFile(out / "Quendrel-2.1.img"));
  EXPECT_EQ(feed.size(), 3u);

  // The image holds the bundle at its top, under the current name, as it was signed.
  auto listed = run("/usr/bin/unsquashfs", {"-d", (home / "unpacked").string(), "-no-progress",
                                            (out / "Quendrel-2.1.img").string()});
  ASSERT_EQ(listed.status, 0) << listed.output;
  std::vector<std::string> top;
  for (const auto& entry : fs::directory_iterator(home / "unpacked"))
    top.push_back(entry.path().filename());
  EXPECT_EQ(top, std::vector<std::string>{"Quendrel.app"});
  EXPECT_TRUE(CodeSign::intact(home / "unpacked/Quendrel.app", app));

  // A newer build replaces the feed; the earlier image stays for whoever still fetches it.
  makeApp(home / "build/2.2/Quendrel.app", "2.2", nullptr);
  ASSERT_EQ(release(home / "build/2.2/Quendrel.app", key, out).status, 0);
  EXPECT_EQ(nlohmann::json::parse(read(out / "latest.json"))["file"], "Quendrel-2.2.img");
  EXPECT_TRUE(fs::exists(out / "Quendrel-2.1.img"));
  int hidden = 0;
  for (const auto& entry : fs::directory_iterator(out))
    hidden += entry.path().filename().string()[0] == '.';
  EXPECT_EQ(hidden, 0) << "no unfinished image is left";
}

TEST(Release, RefusesWhatCannotBePublished) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path out = home / "releases";
  makeApp(home / "Quendrel.app", "2.0", nullptr);

  EXPECT_EQ(run(BUILD_ROOT "/quendrel-release", {(home / "Quendrel.app").string()}).status, 2);
  EXPECT_EQ(run(BUILD_ROOT "/quendrel-release",
                {(home / "Quendrel.app").string(), "--key", key.file.string()})
                .status,
            2);

  write(home / "not-a-key", "hello\n");
  auto ran = release(home / "Quendrel.app", {home / "not-a-key", ""}, out);
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.output.find("is not a signing key"), std::string::npos) << ran.output;

  makeApp(home / "Other.app", "2.0", nullptr, "", "com.example.other");
  ran = release(home / "Other.app", key, out);
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.output.find("is not a Quendrel bundle"), std::string::npos) << ran.output;

  makeApp(home / "Odd.app", "2.0/../../x", nullptr);
  ran = release(home / "Odd.app", key, out);
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.output.find("cannot name a release"), std::string::npos) << ran.output;

  EXPECT_FALSE(fs::exists(out / "latest.json")) << "nothing published";
}
