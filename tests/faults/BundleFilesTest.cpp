// A bundle's Info.plist and signature files made hostile — nested hundreds of thousands deep
// in either format, a cycle, counts and offsets past the end, entities that would expand, a
// pipe nobody writes to, an endless device, a folder — and a bundle whose folders nest deeper
// than a path can name. Each is read in a child process (quendrelctl about, quendrel-codesign
// verify), so that a crash or a hang shows as one: the bundle counts as unreadable and
// unsigned, and nothing crashes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>

#include "Faults.h"

using namespace faults_testing;

namespace {

constexpr const char* unreadable = "identifier: \nversion: \nbuild: \nours: no\nrunning: no\n";

std::string bigEndian(std::uint64_t value, int size) {
  std::string bytes;
  for (int i = size - 1; i >= 0; --i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 255));
  return bytes;
}

// A binary property list of these objects (already encoded), four-byte offsets and references.
std::string binary(const std::vector<std::string>& objects, std::uint64_t count,
                   std::uint64_t top = 0, std::uint64_t tableShift = 0) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const std::uint64_t table = out.size();
  for (auto offset : offsets) out += bigEndian(offset + tableShift, 4);
  out += std::string(6, '\0') + '\4' + '\4';
  return out + bigEndian(count, 8) + bigEndian(top, 8) + bigEndian(table, 8);
}

// An array holding the object with this number.
std::string arrayOf(std::uint64_t reference) {
  return '\xA1' + bigEndian(reference, 4);
}

std::string nestedBinary(std::size_t depth) {
  std::vector<std::string> objects;
  for (std::size_t i = 0; i < depth; ++i) objects.push_back(arrayOf(i + 1));
  objects.push_back("\xA0");
  return binary(objects, objects.size());
}

std::string repeated(const std::string& text, std::size_t n) {
  std::string out;
  out.reserve(text.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += text;
  return out;
}

std::string xml(const std::string& inside) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + inside +
         "</plist>\n";
}

std::string laughs() {
  std::string doctype = "<!DOCTYPE plist [\n<!ENTITY a \"" + std::string(64, 'a') + "\">\n";
  for (char c = 'b'; c <= 'j'; ++c) {
    doctype += std::string("<!ENTITY ") + c + " \"" +
               repeated(std::string("&") + static_cast<char>(c - 1) + ";", 10) + "\">\n";
  }
  return "<?xml version=\"1.0\"?>\n" + doctype +
         "]>\n<plist><dict><key>CFBundleIdentifier</key><string>&j;</string></dict></plist>\n";
}

struct Hostile {
  const char* name;
  std::string bytes;
};

std::vector<Hostile> hostileInfoFiles() {
  const std::size_t deep = 500000;
  return {
      {"NestedDeepInBinary", nestedBinary(200000)},
      {"ACycleInBinary", binary({arrayOf(0)}, 1)},
      {"ACountPastTheEnd", binary({"\xA0"}, std::uint64_t{1} << 60)},
      {"OffsetsPastTheEnd", binary({"\xA0", "\xA0"}, 2, 0, 1u << 30)},
      {"TopPastTheEnd", binary({"\xA0"}, 1, 99)},
      {"NestedDeepInXmlDictionaries", xml(repeated("<dict><key>CFBundleIdentifier</key>", deep) +
                                          "<string>x</string>" + repeated("</dict>", deep))},
      {"NestedDeepInXmlArrays",
       xml(repeated("<array>", 2 * deep) + repeated("</array>", 2 * deep))},
      {"EntitiesThatWouldExpand", laughs()},
  };
}

Ran about(const fs::path& bundle) {
  return run(fs::path(QUENDRELCTL), {"about", bundle.string()}, {}, Input::none, 60);
}

Ran verify(const fs::path& bundle) {
  return run(fs::path(BUILD_ROOT) / "quendrel-codesign", {"verify", bundle.string()}, {},
             Input::none, 60);
}

}  // namespace

TEST(HostileBundleFiles, InfoFilesThatCannotBeReadLeaveTheBundleUnreadableAndUnsigned) {
  Home home;
  Key key = makeKey(home / "release.key");
  // Every way an Info.plist can be something other than a file.
  std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> makers = {
      {"APipeNobodyWritesTo", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }},
      {"AnEndlessDevice", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"AFolder", [](const fs::path& p) { fs::create_directory(p); }},
      {"ALinkToItself", [](const fs::path& p) { fs::create_symlink(p.filename(), p); }},
  };
  for (const auto& hostile : hostileInfoFiles()) {
    makers.emplace_back(hostile.name,
                        [bytes = hostile.bytes](const fs::path& p) { write(p, bytes); });
  }
  Tally tally("hostile Info.plist files", "unreadable and unsigned");
  for (const auto& [name, make] : makers) {
    const fs::path app = home / (name + ".app");
    makeApp(app, "1.0", &key);
    fs::remove(app / "Contents/Info.plist");
    make(app / "Contents/Info.plist");
    tally.check(name, [&] {
      Ran read = about(app);
      EXPECT_FALSE(read.hung);
      EXPECT_EQ(read.status, 0) << read.err;
      EXPECT_EQ(read.out, unreadable);
      Ran checked = verify(app);
      EXPECT_FALSE(checked.hung);
      EXPECT_EQ(checked.status, 1);
      EXPECT_EQ(checked.err,
                app.string() + ": the identifier in Info.plist is not the signed one\n");
    });
  }
}

TEST(HostileBundleFiles, SignatureFilesThatAreNoFilesAndTreesTooDeepToNameAreRefused) {
  Home home;
  Key key = makeKey(home / "release.key");
  Tally tally("hostile signature files and trees", "refused");
  auto refused = [&](const fs::path& app, const std::string& why) {
    Ran checked = verify(app);
    EXPECT_FALSE(checked.hung);
    EXPECT_EQ(checked.status, 1);
    if (why.empty()) {
      EXPECT_EQ(checked.err.rfind(app.string() + ": ", 0), 0u) << checked.err;
      EXPECT_EQ(checked.err.find('\n'), checked.err.size() - 1) << "one line";
    } else {
      EXPECT_EQ(checked.err, app.string() + ": " + why + "\n");
    }
  };
  for (const std::string file : {"Manifest", "Signature"}) {
    for (const std::string kind : {"Pipe", "Folder"}) {
      const fs::path app = home / (kind + file + ".app");
      makeApp(app, "1.0", &key);
      const fs::path signature = app / "Contents/_CodeSignature" / file;
      fs::remove(signature);
      kind == "Pipe" ? mkfifo(signature.c_str(), 0644) : mkdir(signature.c_str(), 0755);
      tally.check(kind + " for the " + file, [&] { refused(app, "the signature is damaged"); });
    }
  }

  // Folders nested past the longest path (4096 bytes), added after signing.
  const fs::path app = home / "Deep.app";
  makeApp(app, "1.0", &key);
  fs::path inside = app / "Contents/Resources";
  const char* name = "a-folder-name-of-thirty-letters";
  const int depth = 200;  // 200 × 32 bytes, far past 4096
  ASSERT_EQ(chdir(inside.c_str()), 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(mkdir(name, 0755), 0);
    ASSERT_EQ(chdir(name), 0);
  }
  ASSERT_EQ(chdir(home.path().c_str()), 0);
  tally.check("folders nested past the longest path", [&] { refused(app, ""); });

  // A tree that deep cannot be removed by path either; take it apart from the inside.
  ASSERT_EQ(chdir(inside.c_str()), 0);
  for (int i = 0; i < depth; ++i) ASSERT_EQ(chdir(name), 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(chdir(".."), 0);
    ASSERT_EQ(rmdir(name), 0);
  }
  ASSERT_EQ(chdir("/"), 0);
}
