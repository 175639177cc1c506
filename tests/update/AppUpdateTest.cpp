#include <gtest/gtest.h>

#include "text/Version.h"
#include "update/AppUpdate.h"

TEST(AppUpdate, VersionOrder) {
  struct Case {
    const char* a;
    const char* b;
    bool newer;
  } cases[] = {
      {"1.10", "1.9", true},
      {"1.9", "1.10", false},
      {"1.2", "1.2.0", false},
      {"1.2.0", "1.2", false},
      {"1.2", "1.2", false},
      {"2.0-rc1", "2", false},
      {"2.0-rc1", "1.9", true},
      {"1.2.3", "1.2.3-beta", true},
      {"1.2.3-beta", "1.2", false},
      {"v3", "0", false},
      {"", "0", false},
      {"", "-1", true},
      {"1", "1.-1", true},
      {"1..2", "1.2", false},
      {".5", "5", false},
      {"+2", "1", true},
      {"1.+1", "1.1", false},
      {"1.+-1", "1.0", false},
      {"99999999999999999999", "0", false},  // out of range counts as 0
      {"9223372036854775807", "9223372036854775806", true},
      {"1 .2", "1.2", false},  // a blank spoils its piece: [0, 2] against [1, 2]
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text::newerVersion(c.a, c.b), c.newer) << c.a << " vs " << c.b;
  }
}

TEST(AppUpdate, FeedEntriesAreReadKeyByKeyWithExactTypes) {
  auto entry = AppUpdate::readFeed(
      R"({"version": "1.4", "sha256": "AB12", "file": "Quendrel-1.4.img", "notes": 3})");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->version() + " " + entry->sha256() + " " + entry->file(),
            "1.4 AB12 Quendrel-1.4.img");
  EXPECT_TRUE(AppUpdate::readFeed(R"({"version": "", "sha256": "", "file": ""})"))
      << "empty texts are taken as they stand";
  for (const std::string& body : std::initializer_list<std::string>{
           R"({"version": 1.4, "sha256": "ab", "file": "f"})",
           R"({"version": "1.4", "sha256": "ab"})",
           R"([{"version": "1.4", "sha256": "ab", "file": "f"}])",
           R"({"version": "1.4", "sha256": null, "file": "f"})", "<html>Service unavailable</html>",
           "", std::string(200000, '['),  // deep nesting is refused, not a crash
       }) {
    EXPECT_FALSE(AppUpdate::readFeed(body)) << body.substr(0, 60);
  }
}
