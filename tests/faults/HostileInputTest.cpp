// The feed and the download misbehaving on purpose — never answering, trickling a byte a
// second, a hundred mebibytes, nesting a million deep, the wrong types, a status of 999, an
// error page, cut short, hung up on, or the image with one bit flipped — under the update as
// quendrelctl runs it and as the menu does. Every one is refused with the text the user is
// shown (or, for the feed, taken as nothing newer), and nothing is written outside the staging
// folder; whatever gets staged is signed like the running copy. Long time-outs run out under
// a faster clock.
//
// A bundle's Info.plist and signature files made hostile — nested hundreds of thousands deep
// in either format, a cycle, counts and offsets past the end, entities that would expand, a
// pipe nobody writes to, an endless device, a folder — and a bundle whose folders nest deeper
// than a path can name. Each is read in a child process (quendrelctl about, quendrel-codesign
// verify), so that a crash or a hang shows as one: the bundle counts as unreadable and
// unsigned, and nothing crashes.

#include <cstdint>
#include <memory>
#include <random>

#include "Faults.h"
#include "platform/Digest.h"
#include "signing/CodeSign.h"

using namespace faults_testing;
using namespace std::string_literals;
using K = Misbehaviour::Kind;

namespace {

std::string bigEndian(std::uint64_t value, int size) {
  std::string bytes;
  for (int i = size - 1; i >= 0; --i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 255));
  return bytes;
}

// A binary property list of these objects (already encoded), four-byte offsets and references.
std::string binary(const std::vector<std::string>& objects, std::uint64_t count,
                   std::uint64_t top = 0, std::uint64_t tableShift = 0) {
  std::string out = "bplist00", table;
  for (const auto& object : objects) {
    table += bigEndian(out.size() + tableShift, 4);
    out += object;
  }
  return out + table + std::string(6, '\0') + "\4\4" + bigEndian(count, 8) + bigEndian(top, 8) +
         bigEndian(out.size(), 8);
}

std::string repeated(const std::string& text, std::size_t n) {
  std::string out;
  while (n-- > 0) out += text;
  return out;
}

using Maker = std::function<void(const fs::path&)>;

std::vector<std::pair<std::string, Maker>> infoFiles() {
  std::vector<std::string> nested;  // each an array holding the next, two hundred thousand deep
  for (std::uint64_t i = 1; i <= 200000; ++i) nested.push_back('\xA1' + bigEndian(i, 4));
  nested.push_back("\xA0");
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  // Ten entities, each ten of the one before: a billion bytes if they were expanded.
  std::string laughs =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"" + std::string(64, 'a') + "\">\n";
  for (char c = 'b'; c <= 'j'; ++c)
    laughs +=
        std::string("<!ENTITY ") + c + " \"" + repeated({'&', char(c - 1), ';'}, 10) + "\">\n";
  laughs += "]>\n<plist><dict><key>CFBundleIdentifier</key><string>&j;</string></dict></plist>\n";
  std::vector<std::pair<std::string, std::string>> files = {
      {"NestedDeepInBinary", binary(nested, nested.size())},
      {"ACycleInBinary", binary({'\xA1' + bigEndian(0, 4)}, 1)},
      {"ACountPastTheEnd", binary({"\xA0"}, std::uint64_t{1} << 60)},
      {"OffsetsPastTheEnd", binary({"\xA0", "\xA0"}, 2, 0, 1u << 30)},
      {"TopPastTheEnd", binary({"\xA0"}, 1, 99)},
      {"NestedDeepInXmlDictionaries",
       xml + repeated("<dict><key>CFBundleIdentifier</key>", 500000) + "<string>x</string>" +
           repeated("</dict>", 500000) + "</plist>"},
      {"NestedDeepInXmlArrays",
       xml + repeated("<array>", 1000000) + repeated("</array>", 1000000) + "</plist>"},
      {"EntitiesThatWouldExpand", laughs},
  };
  std::vector<std::pair<std::string, Maker>> makers = {
      {"APipeNobodyWritesTo", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }},
      {"AnEndlessDevice", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"AFolder", [](const fs::path& p) { fs::create_directory(p); }},
      {"ALinkToItself", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }},
  };
  for (auto& [name, bytes] : files)
    makers.emplace_back(name, [bytes](const fs::path& p) { write(p, bytes); });
  return makers;
}

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

TEST(HostileBundleFiles, AreUnreadableAndUnsignedWithoutACrashOrAHang) {
  Home home;
  Key key = makeKey(home / "release.key");
  auto signedApp = [&](const std::string& name, const std::string& file, const Maker& make) {
    const fs::path app = home / (name + ".app");
    makeApp(app, "1.0", &key);
    fs::remove(app / file);
    make(app / file);
    return app;
  };
  // Refused on one line that names the bundle and gives the reason, when one is expected.
  auto refused = [](const fs::path& app, const std::string& why) {
    Ran ran = run(fs::path(BUILD_ROOT) / "quendrel-codesign", {"verify", app}, {}, Input::none, 60);
    EXPECT_EQ(std::tuple(ran.hung, ran.status), std::tuple(false, 1));
    EXPECT_TRUE(ran.err.starts_with(app.string() + ": " + why) &&
                ran.err.find('\n') == ran.err.size() - 1)
        << ran.err;
  };

  Tally infoTally("hostile Info.plist files", "unreadable and unsigned");
  for (const auto& [name, make] : infoFiles()) {
    const fs::path app = signedApp(name, "Contents/Info.plist", make);
    infoTally.check(name, [&] {
      Ran read = run(QUENDRELCTL, {"about", app}, {}, Input::none, 60);
      EXPECT_EQ(std::tuple(read.hung, read.status, read.out),
                std::tuple(false, 0, "identifier: \nversion: \nbuild: \nours: no\nrunning: no\n"));
      refused(app, "the identifier in Info.plist is not the signed one\n");
    });
  }

  Tally tally("hostile signature files and trees", "refused");
  for (const std::string file : {"Manifest", "Signature"})
    for (const bool pipe : {true, false}) {
      const fs::path app = signedApp(
          file + (pipe ? "Pipe" : "Folder"), "Contents/_CodeSignature/" + file,
          [pipe](const fs::path& p) { pipe ? mkfifo(p.c_str(), 0644) : mkdir(p.c_str(), 0755); });
      tally.check(app.filename(), [&] { refused(app, "the signature is damaged\n"); });
    }
  // Folders nested past the longest path (200 × 32 bytes, far past 4096), added after signing.
  const fs::path app = signedApp("Deep", "Contents/Resources/deep", [](const fs::path& p) {
    // mkdir -p makes it a folder at a time.
    EXPECT_EQ(
        run("/bin/mkdir", {"-p", p / repeated("a-folder-name-of-thirty-letters/", 200)}).status, 0);
  });
  tally.check("folders nested past the longest path", [&] { refused(app, ""); });
  // A tree that deep cannot be removed by path; rm takes it apart from the inside.
  EXPECT_EQ(run("/bin/rm", {"-rf", app}).status, 0);
}

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
  std::atomic<std::shared_ptr<const std::string>> download;
  LocalServer server([&](const std::string&) { return Answer{200, *download.load()}; });
  const fs::path ours = home / "Applications/Quendrel.app", staging = AppUpdate::staging();
  makeApp(ours, "1.0", &release.key, server.base());
  pretendMainBundle(ours);
  write(staging / "left-over", "from an earlier run");
  const auto before = snapshot(home.path().parent_path()),
             outside = snapshot(home.path().parent_path(), staging);
  auto prepare = [&](const std::string& bytes, const std::string& digest) {
    download = std::make_shared<const std::string>(bytes);
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
