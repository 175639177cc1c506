// The feed and the download misbehaving on purpose — never answering, trickling a byte a
// second, a hundred mebibytes, nesting a million deep, the wrong types, a status of 999, an
// error page, cut short, hung up on, or the image with one bit flipped — under the update as
// quendrelctl runs it and as the menu does. Every one is refused with the text the user is
// shown (or, for the feed, taken as nothing newer), and nothing is written outside the staging
// folder; whatever gets staged is signed like the running copy. Long time-outs run out under
// a faster clock.

#include <mutex>
#include <random>

#include "Faults.h"
#include "platform/Digest.h"
#include "signing/CodeSign.h"

using namespace faults_testing;
using namespace std::string_literals;
using K = Misbehaviour::Kind;

namespace {

const std::string
    notIntact = "The download did not arrive intact.",
    notOurs =
        "The downloaded Quendrel is not signed by the same developer as this one, so it has not "
        "been installed.";

// What misbehaves (the feed, or the download while the feed is fine) and how, and why the
// update is refused (nothing when the feed is taken as nothing newer).
std::vector<std::tuple<const char*, bool, Misbehaviour, std::string>> cases(const Release& r) {
  const std::string deep(1000000, '['), spaces(65536, ' '), length = std::to_string(r.image.size());
  const std::string half = r.image.substr(0, r.image.size() / 2), mib = std::to_string(100u << 20);
  const std::string wrong = R"({"version": 2.0, "sha256": ["a"], "file": {"x": null}})";
  const std::string unfinished = "The download did not finish. ";
  const std::string timeOut = unfinished + "Timeout was reached",
                    cut = unfinished + "Transferred a partial file",
                    none = unfinished + "Server returned nothing (no headers, no data)";
  return {
      {"FeedNeverAnswers", true, {K::silent, "", ""}, ""},
      {"FeedTricklesOneByteASecond", true, {K::trickle, head(200), r.feed}, ""},
      {"FeedOfAHundredMebibytes", true, {K::flood, head(200, mib), spaces, 100u << 20}, ""},
      {"FeedNestedAMillionDeep", true, {K::whole, head(200), deep}, ""},
      {"FeedOfTheWrongTypes", true, {K::whole, head(200), wrong}, ""},
      // Only the body counts: a feed is a feed whatever the status, and the image is fetched
      // (and refused here since the copy that runs quendrelctl is not signed).
      {"FeedWithStatus999", true, {K::whole, head(999), r.feed}, notOurs},
      {"DownloadNeverAnswers", false, {K::silent, "", ""}, timeOut},
      {"DownloadTricklesOneByteASecond", false, {K::trickle, head(200, length), r.image}, timeOut},
      {"DownloadOf100Mebibytes", false, {K::flood, head(200, mib), r.image, 100u << 20}, notIntact},
      {"DownloadIsAnErrorPage", false, {K::whole, head(404), "<html>No.</html>"}, notIntact},
      {"DownloadCutShortOfItsLength", false, {K::whole, head(200, length), half}, cut},
      {"DownloadCutShortWithoutALength", false, {K::whole, head(200), half}, notIntact},
      {"DownloadHungUpOn", false, {K::hangUp, "", ""}, none},
      {"DownloadNestedAMillionDeep", false, {K::whole, head(200), deep}, notIntact},
      {"DownloadWithStatus999", false, {K::whole, head(999), r.image}, notOurs},
  };
}

}  // namespace

TEST(HostileDownloads, EveryMisbehaviourIsRefusedAndNothingIsWrittenOutsideTheStagingFolder) {
  if (sanitized) GTEST_SKIP() << "the preloaded clock cannot go before a sanitizer's runtime";
  Home home;
  const Release release = makeRelease(home.path());
  const fs::path staging = AppUpdate::staging(), app = home / "Applications/Quendrel.app";
  Tally tally("hostile feeds and downloads", "refused");
  for (const auto& [name, feed, how, why] : cases(release))
    tally.check(name, [&] {
      HostileServer server(answer(404, ""),
                           {{"/app/latest", feed ? how : answer(200, release.feed)},
                            {"/app/download", feed ? answer(200, release.image) : how}});
      fs::remove_all(staging);
      write(staging / "left-over", "from an earlier run");
      // Refused before the staging folder is touched, but for the image that is not ours.
      const fs::path aside = why == notOurs ? staging : fs::path();
      const fs::path ctl = withCtl(app, server.base());
      const auto before = snapshot(home.path().parent_path(), aside);
      Child update(ctl, {"update"}, fastClock(600));
      // The clock speeds up once the request that is to run out of time has begun.
      if ((how.kind == K::silent || how.kind == K::trickle) &&
          spinUntil([&] { return server.connections() == (feed ? 1 : 2); }, 30))
        kill(update.pid(), SIGUSR1);
      const Ran ran = update.wait(60);
      EXPECT_EQ(
          std::tuple(ran.hung, ran.status, ran.out, ran.err),
          why.empty()
              ? std::tuple(false, 0, "Quendrel is up to date\n"s, ""s)
              : std::tuple(false, 1, "Getting Quendrel 2.0…\nQuendrel 2.0 could not be fetched\n"s,
                           why + "\n"));
      EXPECT_EQ(difference(snapshot(home.path().parent_path(), aside), before), "");
      EXPECT_FALSE(fs::exists(staging / "Quendrel.app") || mountedBelow(staging));
    });
}

// The image with one bit flipped in a thousand random places, each fetched by the running
// copy against the published digest: refused every time, before anything is written. Then
// every fiftieth published under its own digest: refused when the image, the copy or its
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
  const auto before = snapshot(home.path().parent_path()),
             outside = snapshot(home.path().parent_path(), staging);
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
  for (int i = 47; i >= 40; --i) used = used * 256 + static_cast<unsigned char>(release.image[i]);
  ASSERT_TRUE(used > 96u && used <= release.image.size());
  std::mt19937 random(20250406);
  std::uniform_int_distribution<std::size_t> place(0, used * 8 - 1);
  std::vector<std::string> flipped;
  {
    Tally tally("one bit flipped, against the published digest", "refused");
    for (int i = 0; i < 1000; ++i) {
      const std::size_t bit = place(random);
      std::string bytes = release.image;
      bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
      tally.check("a flip", [&] {
        EXPECT_EQ(prepare(bytes, Platform::sha256Hex(release.image)), notIntact);
      });
      if (i % 50 == 0) flipped.push_back(bytes);
    }
  }
  EXPECT_EQ(difference(snapshot(home.path().parent_path()), before), "") << "nothing written";

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
      EXPECT_EQ(difference(snapshot(home.path().parent_path(), staging), outside), "");
    });
}
