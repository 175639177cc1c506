// The feed and the download misbehaving on purpose — never answering, trickling a byte a
// second, a hundred mebibytes, nesting a million deep, the wrong types, a status of 999, an
// error page, cut short, hung up on, or the image with one bit flipped — under the update as
// quendrelctl runs it and as the menu does. Every one is refused with the text the user is
// shown (or, for the feed, taken as nothing newer), and nothing is written outside the staging
// folder; whatever gets staged is signed like the running copy. Long time-outs run out under
// a faster clock.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <mutex>
#include <random>
#include <thread>

#include "Faults.h"
#include "platform/Bundle.h"
#include "platform/Digest.h"
#include "signing/CodeSign.h"
#include "support/HostileServer.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"

using namespace faults_testing;

namespace {

const std::string notFinished = "The download did not finish. ";
constexpr const char* notIntact = "The download did not arrive intact.";
constexpr const char* wouldNotOpen = "The downloaded disk image would not open.";
constexpr const char* notUnpacked = "The new Quendrel could not be unpacked.";
constexpr const char* notOurs =
    "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
    "been installed.";
constexpr std::size_t mebibyte = 1u << 20;

struct Case {
  const char* name;
  bool feed;  // the feed misbehaves (and the download is fine), or the download does
  Misbehaviour how;
  bool hangs;       // it runs out of time
  std::string why;  // empty: nothing newer
};

Misbehaviour as(Misbehaviour::Kind kind, std::string head = "", std::string body = "",
                std::size_t size = 0) {
  return {kind, std::move(head), std::move(body), size};
}

std::vector<Case> cases(const std::string& feed, const std::string& image) {
  using K = Misbehaviour::Kind;
  const std::string deep(1000000, '['), length = std::to_string(image.size());
  const std::string wrong = R"({"version": 2.0, "sha256": ["a"], "file": {"x": null}})";
  const std::string half = image.substr(0, image.size() / 2);
  const std::string hundred = std::to_string(100 * mebibyte), timeOut = "Timeout was reached";
  return {
      {"FeedNeverAnswers", true, as(K::silent), true, ""},
      {"FeedTricklesOneByteASecond", true, as(K::trickle, head(200), feed), true, ""},
      {"FeedOfAHundredMebibytes", true,
       as(K::flood, head(200, hundred), std::string(65536, ' '), 100 * mebibyte), false, ""},
      {"FeedNestedAMillionDeep", true, as(K::whole, head(200), deep), false, ""},
      {"FeedOfTheWrongTypes", true, as(K::whole, head(200), wrong), false, ""},
      // Only the body counts: a feed is a feed whatever the status, and the image is fetched
      // (and refused here since the copy that runs quendrelctl is not signed).
      {"FeedWithStatus999", true, as(K::whole, head(999), feed), false, notOurs},
      {"DownloadNeverAnswers", false, as(K::silent), true, notFinished + timeOut},
      {"DownloadTricklesOneByteASecond", false, as(K::trickle, head(200, length), image), true,
       notFinished + timeOut},
      {"DownloadOfAHundredMebibytes", false,
       as(K::flood, head(200, hundred), image, 100 * mebibyte), false, notIntact},
      {"DownloadIsAnErrorPage", false,
       as(K::whole, head(404), "<html><body>No such release.</body></html>"), false, notIntact},
      {"DownloadCutShortOfItsLength", false, as(K::whole, head(200, length), half), false,
       notFinished + "Transferred a partial file"},
      {"DownloadCutShortWithoutALength", false, as(K::whole, head(200), half), false, notIntact},
      {"DownloadHungUpOn", false, as(K::hangUp), false,
       notFinished + "Server returned nothing (no headers, no data)"},
      {"DownloadNestedAMillionDeep", false, as(K::whole, head(200), deep), false, notIntact},
      {"DownloadWithStatus999", false, as(K::whole, head(999), image), false, notOurs},
  };
}

}  // namespace

TEST(HostileDownloads, EveryMisbehaviourIsRefusedAndNothingIsWrittenOutsideTheStagingFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded clock cannot go before a sanitizer's runtime";
  Home home;
  const Release release = makeRelease(home.path());
  const fs::path root = home.path().parent_path();
  const fs::path staging = AppUpdate::staging();
  const fs::path app = home / "Applications/Quendrel.app";
  const fs::path ctl = withCtl(app);
  Tally tally("hostile feeds and downloads", "refused");
  using K = Misbehaviour::Kind;
  const Misbehaviour feed = as(K::whole, head(200), release.feed);
  const Misbehaviour image =
      as(K::whole, head(200, std::to_string(release.image.size())), release.image);
  for (const Case& c : cases(release.feed, release.image))
    tally.check(c.name, [&] {
      HostileServer server(as(K::whole, head(404)), {{"/app/latest", c.feed ? c.how : feed},
                                                     {"/app/download", c.feed ? image : c.how}});
      withCtl(app, server.base());
      fs::remove_all(staging);
      write(staging / "left-over", "from an earlier run");
      const auto before = snapshot(root, staging);

      Child update(ctl, {"update"}, fastClock(600));
      if (c.hangs) {
        // The clock speeds up once the request that is to run out of time has begun.
        const int begun = c.feed ? 1 : 2;
        for (int i = 0; i < 1500 && server.connections() < begun; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(server.connections(), begun);
        kill(update.pid(), SIGUSR1);
      }
      Ran ran = update.wait(60);
      EXPECT_FALSE(ran.hung);
      EXPECT_EQ(ran.status, c.why.empty() ? 0 : 1);
      EXPECT_EQ(ran.out, c.why.empty()
                             ? "Quendrel is up to date\n"
                             : "Getting Quendrel 2.0…\nQuendrel 2.0 could not be fetched\n");
      EXPECT_EQ(ran.err, c.why.empty() ? "" : c.why + "\n");
      EXPECT_EQ(difference(snapshot(root, staging), before), "") << "nothing written elsewhere";
      EXPECT_FALSE(fs::exists(staging / "Quendrel.app"));
      EXPECT_FALSE(mountedBelow(staging));
      if (c.why != notOurs) {
        EXPECT_EQ(read(staging / "left-over"), "from an earlier run")
            << "refused before the staging folder is touched";
      }
    });
}

// The image with one bit flipped in a thousand random places, each fetched by the running
// copy against the published digest: refused every time, before anything is written. Then a
// few such images published under their own digests: refused when the image, the copy or its
// signature does not hold; staged only when the flip changed nothing that counts.
TEST(HostileDownloads, OneBitFlippedInAThousandPlaces) {
  Home home;
  const Release release = makeRelease(home.path());
  std::string download;
  std::mutex mutex;
  LocalServer server([&](const std::string& path) {
    std::lock_guard lock(mutex);
    return path == "/app/download" ? Answer{200, download} : Answer{404, ""};
  });
  const fs::path ours = home / "Applications/Quendrel.app";
  makeApp(ours, "1.0", &release.key, server.base());
  pretendMainBundle(ours);
  const fs::path root = home.path().parent_path();
  const fs::path staging = AppUpdate::staging();
  write(staging / "left-over", "from an earlier run");
  const auto before = snapshot(root, staging);

  auto prepare = [&](const std::string& bytes, const std::string& digest) {
    {
      std::lock_guard lock(mutex);
      download = bytes;
    }
    return prepareNow({"2.0", digest, "Quendrel-2.0.img"});
  };

  // Only the bytes the image uses count: a squashfs image is padded after them, and their
  // number is the little-endian 64-bit "bytes used" at offset 40 of its superblock.
  std::size_t used = 0;
  for (int i = 7; i >= 0; --i)
    used = used * 256 + static_cast<unsigned char>(release.image[40 + i]);
  ASSERT_GT(used, 96u);
  ASSERT_LE(used, release.image.size());
  std::mt19937 random(20250406);
  std::uniform_int_distribution<std::size_t> place(0, used * 8 - 1);
  const std::string published = Platform::sha256Hex(release.image);
  int refused = 0;
  std::vector<std::string> flipped;
  for (int i = 0; i < 1000; ++i) {
    const std::size_t bit = place(random);
    std::string bytes = release.image;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    if (prepare(bytes, published) == notIntact) ++refused;
    if (i % 50 == 0) flipped.push_back(bytes);
  }
  std::cout << "[ faults   ] one bit flipped, against the published digest: 1000 tried, " << refused
            << " refused" << std::endl;
  EXPECT_EQ(refused, 1000);
  EXPECT_EQ(read(staging / "left-over"), "from an earlier run");
  EXPECT_EQ(difference(snapshot(root, staging), before), "");

  Tally tally("one bit flipped, under its own digest", "refused or staged signed like us");
  for (const auto& bytes : flipped)
    tally.check("a republished flip", [&] {
      const std::string why = prepare(bytes, Platform::sha256Hex(bytes));
      if (why == "staged") {
        const auto verdict = CodeSign::verify(staging / "Quendrel.app");
        const auto* signer = std::get_if<CodeSign::Signer>(&verdict);
        EXPECT_TRUE(signer && signer->publicKey == CodeSign::publicKeyOf(release.key.secret))
            << "only a copy signed like us is staged";
      } else {
        EXPECT_TRUE(why == wouldNotOpen || why == notUnpacked || why == notOurs) << why;
      }
      EXPECT_FALSE(mountedBelow(staging));
      EXPECT_EQ(difference(snapshot(root, staging), before), "") << "nothing written elsewhere";
    });
}
