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
#include "platform/Digest.h"
#include "signing/CodeSign.h"
#include "support/HostileServer.h"
#include "support/LocalServer.h"
#include "support/MainBundle.h"

using namespace faults_testing;
using namespace std::string_literals;

namespace {

const std::string notFinished = "The download did not finish. ",
                  notIntact = "The download did not arrive intact.",
                  timeOut = notFinished + "Timeout was reached";
const std::string notOurs =
    "The downloaded Quendrel is not signed by the same developer as "
    "this one, so it has not been installed.";
constexpr std::size_t hundredMebibytes = 100u << 20;
using K = Misbehaviour::Kind;

struct Case {
  const char* name;
  bool feed;  // the feed misbehaves (and the download is fine), or the download does
  Misbehaviour how;
  std::string why;  // empty: nothing newer
};

std::vector<Case> cases(const std::string& feed, const std::string& image) {
  const std::string deep(1000000, '['), length = std::to_string(image.size());
  const std::string half = image.substr(0, image.size() / 2);
  const std::string hundred = std::to_string(hundredMebibytes);
  return {
      {"FeedNeverAnswers", true, {K::silent, "", ""}, ""},
      {"FeedTricklesOneByteASecond", true, {K::trickle, head(200), feed}, ""},
      {"FeedOfAHundredMebibytes",
       true,
       {K::flood, head(200, hundred), std::string(65536, ' '), hundredMebibytes},
       ""},
      {"FeedNestedAMillionDeep", true, {K::whole, head(200), deep}, ""},
      {"FeedOfTheWrongTypes",
       true,
       {K::whole, head(200), R"({"version": 2.0, "sha256": ["a"], "file": {"x": null}})"},
       ""},
      // Only the body counts: a feed is a feed whatever the status, and the image is fetched
      // (and refused here since the copy that runs quendrelctl is not signed).
      {"FeedWithStatus999", true, {K::whole, head(999), feed}, notOurs},
      {"DownloadNeverAnswers", false, {K::silent, "", ""}, timeOut},
      {"DownloadTricklesOneByteASecond", false, {K::trickle, head(200, length), image}, timeOut},
      {"DownloadOfAHundredMebibytes",
       false,
       {K::flood, head(200, hundred), image, hundredMebibytes},
       notIntact},
      {"DownloadIsAnErrorPage",
       false,
       {K::whole, head(404), "<html>No such release.</html>"},
       notIntact},
      {"DownloadCutShortOfItsLength",
       false,
       {K::whole, head(200, length), half},
       notFinished + "Transferred a partial file"},
      {"DownloadCutShortWithoutALength", false, {K::whole, head(200), half}, notIntact},
      {"DownloadHungUpOn",
       false,
       {K::hangUp, "", ""},
       notFinished + "Server returned nothing (no headers, no data)"},
      {"DownloadNestedAMillionDeep", false, {K::whole, head(200), deep}, notIntact},
      {"DownloadWithStatus999", false, {K::whole, head(999), image}, notOurs},
  };
}

}  // namespace

TEST(HostileDownloads, EveryMisbehaviourIsRefusedAndNothingIsWrittenOutsideTheStagingFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded clock cannot go before a sanitizer's runtime";
  Home home;
  const Release release = makeRelease(home.path());
  const fs::path staging = AppUpdate::staging(), app = home / "Applications/Quendrel.app";
  const fs::path ctl = withCtl(app);
  Tally tally("hostile feeds and downloads", "refused");
  for (const Case& c : cases(release.feed, release.image))
    tally.check(c.name, [&] {
      HostileServer server(answer(404, ""),
                           {{"/app/latest", c.feed ? c.how : answer(200, release.feed)},
                            {"/app/download", c.feed ? answer(200, release.image) : c.how}});
      withCtl(app, server.base());
      fs::remove_all(staging);
      write(staging / "left-over", "from an earlier run");
      const auto before = snapshot(home.path().parent_path(), staging);
      Child update(ctl, {"update"}, fastClock(600));
      // The clock speeds up once a request that is to run out of time has begun.
      if (c.how.kind == K::silent || c.how.kind == K::trickle) {
        const int begun = c.feed ? 1 : 2;
        for (int i = 0; i < 1500 && server.connections() < begun; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(server.connections(), begun);
        kill(update.pid(), SIGUSR1);
      }
      const Ran ran = update.wait(60);
      EXPECT_EQ(
          std::tuple(ran.hung, ran.status, ran.out, ran.err),
          c.why.empty()
              ? std::tuple(false, 0, "Quendrel is up to date\n"s, ""s)
              : std::tuple(false, 1, "Getting Quendrel 2.0…\nQuendrel 2.0 could not be fetched\n"s,
                           c.why + "\n"));
      EXPECT_EQ(difference(snapshot(home.path().parent_path(), staging), before), "");
      EXPECT_FALSE(fs::exists(staging / "Quendrel.app") || mountedBelow(staging));
      // Refused before the staging folder is touched, but for the image that is not ours.
      EXPECT_TRUE(c.why == notOurs || read(staging / "left-over") == "from an earlier run");
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
  LocalServer server([&](const std::string&) {
    std::lock_guard lock(mutex);
    return Answer{200, download};
  });
  const fs::path ours = home / "Applications/Quendrel.app", staging = AppUpdate::staging();
  makeApp(ours, "1.0", &release.key, server.base());
  pretendMainBundle(ours);
  write(staging / "left-over", "from an earlier run");
  const auto before = snapshot(home.path().parent_path(), staging);
  auto prepare = [&](const std::string& bytes, const std::string& digest) {
    std::unique_lock lock(mutex);
    download = bytes;
    lock.unlock();
    return prepareNow({"2.0", digest, "Quendrel-2.0.img"});
  };

  // Only the bytes the image uses count: a squashfs image is padded after them, and their
  // number is the little-endian 64-bit "bytes used" at offset 40 of its superblock.
  std::size_t used = 0;
  for (int i = 7; i >= 0; --i)
    used = used * 256 + static_cast<unsigned char>(release.image[40 + i]);
  ASSERT_TRUE(used > 96u && used <= release.image.size());
  std::mt19937 random(20250406);
  std::uniform_int_distribution<std::size_t> place(0, used * 8 - 1);
  int refused = 0;
  std::vector<std::string> flipped;
  for (int i = 0; i < 1000; ++i) {
    const std::size_t bit = place(random);
    std::string bytes = release.image;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    refused += prepare(bytes, Platform::sha256Hex(release.image)) == notIntact;
    if (i % 50 == 0) flipped.push_back(bytes);
  }
  std::cout << "[ faults   ] one bit flipped, against the published digest: 1000 tried, " << refused
            << " refused" << std::endl;
  EXPECT_EQ(refused, 1000);
  EXPECT_EQ(read(staging / "left-over"), "from an earlier run");
  EXPECT_EQ(difference(snapshot(home.path().parent_path(), staging), before), "");

  Tally tally("one bit flipped, under its own digest", "refused or staged signed like us");
  for (const auto& bytes : flipped)
    tally.check("a republished flip", [&] {
      const std::string why = prepare(bytes, Platform::sha256Hex(bytes));
      const auto verdict = CodeSign::verify(staging / "Quendrel.app");
      const auto* signer = std::get_if<CodeSign::Signer>(&verdict);
      EXPECT_TRUE(why == "staged"
                      ? signer && signer->publicKey == CodeSign::publicKeyOf(release.key.secret)
                      : why == "The downloaded disk image would not open." ||
                            why == "The new Quendrel could not be unpacked." || why == notOurs)
          << why << ": only a copy signed like us is staged";
      EXPECT_FALSE(mountedBelow(staging));
      EXPECT_EQ(difference(snapshot(home.path().parent_path(), staging), before), "");
    });
}
