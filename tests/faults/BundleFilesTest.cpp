// A bundle's Info.plist and signature files made hostile — nested hundreds of thousands deep
// in either format, a cycle, counts and offsets past the end, entities that would expand, a
// pipe nobody writes to, an endless device, a folder — and a bundle whose folders nest deeper
// than a path can name. Each is read in a child process (quendrelctl about, quendrel-codesign
// verify), so that a crash or a hang shows as one: the bundle counts as unreadable and
// unsigned, and nothing crashes.

#include <cstdint>

#include "Faults.h"

using namespace faults_testing;

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
