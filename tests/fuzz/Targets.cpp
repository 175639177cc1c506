// The harnesses: each reads untrusted bytes the way the application does and checks what it
// can say about the answer without a second implementation.
#include "fuzz/Targets.h"
#include "text/Version.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "desk/Desk.h"
#include "desk/Paths.h"
#include "platform/Plist.h"
#include "setup/Installer.h"
#include "signing/Manifest.h"
#include "text/Text.h"
#include "update/AppUpdate.h"

namespace fuzzing {
namespace {

// A broken promise is a crash, so that libFuzzer keeps the input.
void expect(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

bool digit(char c) {
  return c >= '0' && c <= '9';
}

void port(std::string_view input) {
  auto parsed = Paths::parsePort(input);
  expect(parsed == Text::wholeNumber(input), "parsePort is the whole-number rule");
  if (!parsed) return;
  // Only an optional sign and ASCII digits get this far.
  std::string_view digits = input;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  expect(!digits.empty(), "digits after the sign");
  for (char c : digits) expect(digit(c), "only ASCII digits");
  expect(negative ? *parsed <= 0 : *parsed >= 0, "the sign is kept");
  // The same number without leading zeros and with a plain sign reads the same.
  std::string plain = std::to_string(*parsed);
  expect(Text::wholeNumber(plain) == parsed, "the number's own text reads back");
}

// Two versions, one a line; a third line, when present, is a third version.
void version(std::string_view input) {
  std::string a, b, c;
  std::string* into[] = {&a, &b, &c};
  int line = 0;
  for (char ch : input) {
    if (ch == '\n') {
      if (++line == 3) break;
      continue;
    }
    into[line]->push_back(ch);
  }
  bool ab = Text::newerVersion(a, b);
  bool ba = Text::newerVersion(b, a);
  expect(!(ab && ba), "never newer both ways");
  expect(!Text::newerVersion(a, a), "never newer than itself");
  if (line >= 2 && ab && Text::newerVersion(b, c)) expect(Text::newerVersion(a, c), "transitive");
  // Trailing zero pieces change nothing.
  expect(Text::newerVersion(a + ".0", b) == ab, "a trailing .0 changes nothing");
}

void feed(std::string_view input) {
  auto entry = AppUpdate::readFeed(std::string(input));
  if (!entry) return;
  // Whatever it names, ordering it against ours must be safe.
  (void)Text::newerVersion(entry->version(), "1.0");
}

void inUse(std::string_view input) {
  auto answer = Desk::readInUse(std::string(input));
  if (answer.kind != Desk::Busy::Kind::busy) expect(answer.why.empty(), "a reason only when busy");
  expect(answer.kind != Desk::Busy::Kind::notRunning, "a body never says not running");
}

// A folder of its own, the home folder while the process runs; removed when it ends.
class Scratch {
 public:
  Scratch() {
    std::filesystem::create_directories(folder_);
    ::setenv("HOME", folder_.c_str(), 1);
  }
  ~Scratch() {
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }
  // Writes the bytes to the file (inside the folder, for a relative name); gives its path.
  std::filesystem::path write(const std::filesystem::path& name, std::string_view bytes) {
    const std::filesystem::path file = folder_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  const std::filesystem::path folder_ =
      std::filesystem::temp_directory_path() / ("quendrel-fuzz-" + std::to_string(::getpid()));
};

Scratch& scratch() {
  static Scratch made;
  return made;
}

void infoPlist(std::string_view input) {
  const auto file = scratch().write("Info.plist", input);
  for (const char* key : {"QuendrelService", "CFBundleShortVersionString", "CFBundleIdentifier"}) {
    auto value = Platform::Plist::text(file, key);
    if (value) expect(value->find('\0') == std::string::npos, "text stops at its end");
  }
}

void manifest(std::string_view input) {
  auto read = CodeSign::read(input);
  if (!read) return;
  // Only the one canonical text reads, so writing it back gives the same bytes.
  expect(CodeSign::write(*read) == input, "a manifest that reads is canonical");
  for (const auto& entry : read->entries) {
    expect(!entry.path.empty() && entry.path[0] != '/', "paths stay inside the bundle");
  }
}

void marker(std::string_view input) {
  scratch().write(Paths::settingUp(), input);
  std::string word = Installer::reached();
  expect(Text::isUtf8(word), "the word is UTF-8");
  expect(word == Text::trim(word), "the word is trimmed");
  if (Text::isUtf8(input)) expect(word == Text::trim(input), "a UTF-8 marker reads as written");
}

}  // namespace

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"port", port},       {"version", version},   {"feed", feed},     {"inuse", inUse},
      {"plist", infoPlist}, {"manifest", manifest}, {"marker", marker},
  };
  return all;
}

const Target* find(std::string_view name) {
  for (const auto& target : targets()) {
    if (name == target.name) return &target;
  }
  return nullptr;
}

}  // namespace fuzzing
