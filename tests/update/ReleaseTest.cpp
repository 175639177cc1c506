// quendrel-release: one command from a built bundle to a published version. That the image
// holds the bundle, signed, under the current name and the feed's digest is the preparing
// tests' business: they stage what it publishes.
#include <gtest/gtest.h>

#include "update/Releases.h"

using namespace update_testing;
using testing_support::namesIn;

TEST(Release, PublishesEachVersionBesideTheEarlierOnesOrRefuses) {
  Home home;
  Key key = makeKey(home / "release.key");
  const fs::path out = home / "releases";
  for (const std::string version : {"2.1", "2.2"}) {
    makeApp(home / version / "Some Name.app", noting(version), nullptr);
    auto ran = release(home / version / "Some Name.app", key, out);
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_NE(ran.output.find("Quendrel " + version + " published"), std::string::npos);
  }
  EXPECT_EQ(AppUpdate::readFeed(read(out / "latest.json"))->file(), "Quendrel-2.2.img");
  EXPECT_EQ(namesIn(out),
            (std::vector<std::string>{"Quendrel-2.1.img", "Quendrel-2.2.img", "latest.json"}))
      << "the earlier image stays for whoever still fetches it; no unfinished one is left";

  App other = noting("2.3");
  other.identifier = "com.example.other";
  makeApp(home / "Other.app", other, nullptr);
  makeApp(home / "Odd.app", noting("2.0/../../x"), nullptr);
  write(home / "not-a-key", "hello\n");
  const fs::path app = home / "2.1/Some Name.app";
  const struct {
    Ran ran;
    int status;
    std::string says;
  } cases[] = {
      {run(BUILD_ROOT "/quendrel-release", {app.string()}), 2, "usage: "},
      {release(app, {home / "not-a-key", "", ""}, out), 1, "is not a signing key"},
      {release(home / "Other.app", key, out), 1, "is not a Quendrel bundle"},
      {release(home / "Odd.app", key, out), 1, "cannot name a release"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.ran.status, c.status) << c.ran.output;
    EXPECT_NE(c.ran.output.find(c.says), std::string::npos) << c.ran.output;
  }
  EXPECT_EQ(namesIn(out).size(), 3u) << "nothing published";
}
