#include <gtest/gtest.h>

#include "text/Version.h"
#include "update/AppUpdate.h"

// Each case takes its own way through the comparison; how a piece reads as a number is the
// port variables' table's business, and the order's laws are the fuzz harness's.
TEST(AppUpdate, VersionOrder) {
  struct Case {
    const char* a;
    const char* b;
    bool newer;
  } cases[] = {
      {"1.10", "1.9", true},     // by number, not by text
      {"1.9", "1.10", false},    //
      {"1.2", "1.2.0", false},   // a missing piece is 0
      {"1.2.1", "1.2", true},    //
      {"2.0-rc1", "2", false},   // a piece that is not a number counts as 0
      {"2.0-rc1", "1.9", true},  //
      {"1..2", "1.2", false},    // empty pieces are skipped
      {"", "-1", true},          //
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
  for (const std::string body :
       {R"({"version": 1.4, "sha256": "ab", "file": "f"})", R"({"version": "1.4", "sha256": "ab"})",
        R"([{"version": "1.4", "sha256": "ab", "file": "f"}])",
        "<html>Service unavailable</html>"}) {
    EXPECT_FALSE(AppUpdate::readFeed(body)) << body;
  }
}
