// The harnesses: each reads untrusted bytes the way the application does and checks what it
// can say about the answer without a second implementation.
#include "fuzz/Targets.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "platform/Plist.h"
#include "setup/Installer.h"
#include "signing/Manifest.h"
#include "text/Text.h"
#include "text/Version.h"
#include "update/AppUpdate.h"

namespace fuzzing {
namespace {

namespace fs = std::filesystem;

// A broken promise is a crash, so that libFuzzer keeps the input.
void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

void port(std::string_view input) {
  auto parsed = Paths::parsePort(input);
  expect(parsed == Text::wholeNumber(input), "parsePort is the whole-number rule");
  if (!parsed) return;
  const bool negative = input.starts_with('-');
  const std::string_view digits = input.substr(negative || input.starts_with('+'));
  expect(!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos,
         "only an optional sign and ASCII digits");
  expect(negative ? *parsed <= 0 : *parsed >= 0, "the sign is kept");
  expect(Text::wholeNumber(std::to_string(*parsed)) == parsed, "the number's own text reads back");
}

// Two versions, one a line; a third line, when present, is a third version.
void version(std::string_view input) {
  std::istringstream lines{std::string(input)};
  std::string v[3];
  int count = 0;
  while (count < 3 && std::getline(lines, v[count])) ++count;
  const bool ab = Text::newerVersion(v[0], v[1]);
  expect(!(ab && Text::newerVersion(v[1], v[0])), "never newer both ways");
  expect(!Text::newerVersion(v[0], v[0]), "never newer than itself");
  if (count == 3 && ab && Text::newerVersion(v[1], v[2]))
    expect(Text::newerVersion(v[0], v[2]), "transitive");
  expect(Text::newerVersion(v[0] + ".0", v[1]) == ab, "a trailing .0 changes nothing");
}

void feed(std::string_view input) {
  // Whatever it names, ordering it against ours must be safe.
  if (auto entry = AppUpdate::readFeed(std::string(input)))
    (void)Text::newerVersion(entry->version(), "1.0");
}

void inUse(std::string_view input) {
  auto answer = Desk::readInUse(std::string(input));
  if (answer.kind != Desk::Busy::Kind::busy) expect(answer.why.empty(), "a reason only when busy");
  expect(answer.kind != Desk::Busy::Kind::notRunning, "a body never says not running");
}

// Writes the bytes to the file (inside a folder of its own, for a relative name), the folder
// being the home folder while the process runs and removed when it ends.
fs::path scratch(const fs::path& name, std::string_view bytes) {
  static const struct Folder {
    fs::path path = fs::temp_directory_path() / ("quendrel-fuzz-" + std::to_string(::getpid()));
    Folder() {
      fs::create_directories(path);
      ::setenv("HOME", path.c_str(), 1);
    }
    ~Folder() {
      std::error_code error;
      fs::remove_all(path, error);
    }
  } folder;
  const fs::path file = folder.path / name;
  std::ofstream(file, std::ios::binary) << bytes;
  return file;
}

void infoPlist(std::string_view input) {
  const auto file = scratch("Info.plist", input);
  for (const char* key : {"QuendrelService", "CFBundleShortVersionString", "CFBundleIdentifier"})
    if (auto value = Platform::Plist::text(file, key))
      expect(value->find('\0') == std::string::npos, "text stops at its end");
}

void manifest(std::string_view input) {
  auto read = CodeSign::read(input);
  if (!read) return;
  // Only the one canonical text reads, so writing it back gives the same bytes.
  expect(CodeSign::write(*read) == input, "a manifest that reads is canonical");
  for (const auto& entry : read->entries)
    expect(!entry.path.empty() && entry.path[0] != '/', "paths stay inside the bundle");
}

void marker(std::string_view input) {
  scratch(Paths::settingUp(), input);
  std::string word = Installer::reached();
  expect(Text::isUtf8(word), "the word is UTF-8");
  expect(word == Text::trim(word), "the word is trimmed");
  if (Text::isUtf8(input)) expect(word == Text::trim(input), "a UTF-8 marker reads as written");
}

}  // namespace

const std::map<std::string_view, void (*)(std::string_view input)>& targets() {
  static const std::map<std::string_view, void (*)(std::string_view input)> all = {
      {"port", port},       {"version", version},   {"feed", feed},     {"inuse", inUse},
      {"plist", infoPlist}, {"manifest", manifest}, {"marker", marker},
  };
  return all;
}

}  // namespace fuzzing
