// quendrel-release: one command from a built bundle to a published version.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "signing/CodeSign.h"
#include "update/Releases.h"

using namespace update_testing;
using testing_support::namesIn;

TEST(Release, SignsTheBundleMakesItsImageAndNamesItInTheFeed) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path app = home / "build/Some Name.app", out = home / "releases";
  makeApp(app, noting("2.1"), nullptr);
  auto ran = release(app, key, out);
  ASSERT_EQ(ran.status, 0) << ran.output;
  EXPECT_NE(ran.output.find("Quendrel 2.1 published"), std::string::npos) << ran.output;
  EXPECT_EQ(nlohmann::json::parse(read(out / "latest.json")).dump(),
            nlohmann::json({{"version", "2.1"},
                            {"sha256", Platform::sha256Hex(read(out / "Quendrel-2.1.img"))},
                            {"file", "Quendrel-2.1.img"}})
                .dump());

  // The image holds the bundle at its top, under the current name, as it was signed.
  auto listed = run("/usr/bin/unsquashfs", {"-d", (home / "unpacked").string(), "-no-progress",
                                            (out / "Quendrel-2.1.img").string()});
  ASSERT_EQ(listed.status, 0) << listed.output;
  EXPECT_EQ(namesIn(home / "unpacked"), std::vector<std::string>{"Quendrel.app"});
  EXPECT_TRUE(CodeSign::intact(home / "unpacked/Quendrel.app", app));

  // A newer build replaces the feed; the earlier image stays for whoever still fetches it.
  makeApp(home / "build/2.2/Quendrel.app", noting("2.2"), nullptr);
  ASSERT_EQ(release(home / "build/2.2/Quendrel.app", key, out).status, 0);
  EXPECT_EQ(nlohmann::json::parse(read(out / "latest.json"))["file"], "Quendrel-2.2.img");
  EXPECT_EQ(namesIn(out),
            (std::vector<std::string>{"Quendrel-2.1.img", "Quendrel-2.2.img", "latest.json"}))
      << "no unfinished image is left";
}

TEST(Release, RefusesWhatCannotBePublished) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path out = home / "releases";
  makeApp(home / "Quendrel.app", noting("2.0"), nullptr);
  makeApp(home / "Other.app", noting("2.0", saysUp, "com.example.other"), nullptr);
  makeApp(home / "Odd.app", noting("2.0/../../x"), nullptr);
  write(home / "not-a-key", "hello\n");
  const struct {
    Ran ran;
    int status;
    std::string says;
  } cases[] = {
      {run(BUILD_ROOT "/quendrel-release", {(home / "Quendrel.app").string()}), 2, ""},
      {release(home / "Quendrel.app", {home / "not-a-key", "", ""}, out), 1,
       "is not a signing key"},
      {release(home / "Other.app", key, out), 1, "is not a Quendrel bundle"},
      {release(home / "Odd.app", key, out), 1, "cannot name a release"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.ran.status, c.status) << c.ran.output;
    EXPECT_NE(c.ran.output.find(c.says), std::string::npos) << c.ran.output;
  }
  EXPECT_FALSE(fs::exists(out / "latest.json")) << "nothing published";
}
