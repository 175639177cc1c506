// The harnesses: each reads untrusted bytes the way the application does and checks what it
// can say about the answer without a second implementation.
#include "fuzz/Targets.h"

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
#include "text/Version.h"
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

// The input as an Info.plist file: one file per process, removed when it ends.
class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    file_ = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
            ("quendrel-fuzz-" + std::to_string(::getpid()) + ".plist");
  }
  ~Scratch() {
    std::error_code error;
    std::filesystem::remove(file_, error);
  }
  const std::filesystem::path& write(std::string_view bytes) {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file_;
  }

 private:
  std::filesystem::path file_;
};

void infoPlist(std::string_view input) {
  static Scratch scratch;
  const auto& file = scratch.write(input);
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

// A home folder of its own for the progress marker, removed when the process ends.
class ScratchHome {
 public:
  ScratchHome() {
    const char* tmp = std::getenv("TMPDIR");
    folder_ = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
              ("quendrel-fuzz-home-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    if (const char* home = std::getenv("HOME")) old_ = home;
    ::setenv("HOME", folder_.c_str(), 1);
  }
  ~ScratchHome() {
    ::setenv("HOME", old_.c_str(), 1);
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }

 private:
  std::filesystem::path folder_;
  std::string old_;
};

void marker(std::string_view input) {
  static ScratchHome home;
  {
    std::ofstream out(Paths::settingUp(), std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
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
