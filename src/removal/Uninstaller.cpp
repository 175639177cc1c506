#include "removal/Uninstaller.h"

#include <array>
#include <string_view>
#include <variant>

#include "desk/Paths.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "text/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view checkMark = "✓";

// Removes the temporary copy of the script however the run ends.
class TemporaryCopy {
 public:
  explicit TemporaryCopy(fs::path path) : path_(std::move(path)) {}
  ~TemporaryCopy() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  TemporaryCopy(const TemporaryCopy&) = delete;
  TemporaryCopy& operator=(const TemporaryCopy&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Every match of ESC "[" [0-9;]* "m" removed: the terminal's colour codes.
std::string withoutColours(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
      size_t j = s.find_first_not_of("0123456789;", i + 2);
      if (j != std::string_view::npos && s[j] == 'm') {
        i = j + 1;
        continue;
      }
    }
    out.push_back(s[i++]);
  }
  return out;
}

// The blanks a line is trimmed of: tab and Unicode's space separators (not line breaks).
constexpr std::array<std::string_view, 18> blanks = {
    "\t",     " ",      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
    "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000"};

std::string_view trimmedOfBlanks(std::string_view s) {
  for (bool again = true; again;) {
    again = false;
    for (auto blank : blanks) {
      if (s.starts_with(blank)) {
        s.remove_prefix(blank.size());
        again = true;
      }
      if (s.ends_with(blank)) {
        s.remove_suffix(blank.size());
        again = true;
      }
    }
  }
  return s;
}

}  // namespace

namespace Uninstaller {

std::optional<std::string> bundled() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return std::nullopt;
  auto bytes = Platform::readFile(bundle->resources() / "payload/uninstall.sh");
  if (!bytes || !Text::isUtf8(*bytes)) return std::nullopt;
  return bytes;
}

std::vector<std::string> lines(const std::string& output) {
  std::vector<std::string> kept;
  for (const auto& line : Text::nonEmptyLines(withoutColours(Text::utf8OrEmpty(output)))) {
    auto trimmed = trimmedOfBlanks(line);
    if (!trimmed.empty()) kept.emplace_back(trimmed);
  }
  return kept;
}

std::optional<Outcome> run(const std::optional<std::string>& script,
                           const std::optional<fs::path>& app) {
  fs::path path = Paths::install() / "uninstall.sh";
  std::optional<TemporaryCopy> copy;
  if (script) {
    // Private to this user: the copy is only ever run by us, through bash.
    fs::path temporary =
        Platform::temporaryFolder() / ("quendrel-uninstall-" + Platform::uuid() + ".sh");
    if (Platform::writeAtomically(temporary, *script, 0600)) {
      copy.emplace(temporary);
      path = temporary;
    }
  }
  std::error_code error;
  if (!fs::exists(path, error)) return std::nullopt;

  std::vector<std::string> args = {path.string()};
  if (app) {
    args.push_back("--app");
    args.push_back(app->string());
  }
  auto ran = Platform::run({"/bin/bash", std::move(args), ""}, Platform::Output::pipe);
  copy.reset();

  if (auto* unstarted = std::get_if<Platform::Unstarted>(&ran)) {
    return Outcome{false, "The uninstaller could not start: " + unstarted->why};
  }
  const auto& exited = std::get<Platform::Exited>(ran);
  auto said = lines(exited.output);
  if (exited.status != 0) return Outcome{false, Text::lastJoined(said, 3, "\n")};
  std::vector<std::string> done;
  for (auto& line : said) {
    if (line.starts_with(checkMark)) done.push_back(std::move(line));
  }
  return Outcome{true, Text::lastJoined(done, done.size(), "\n")};
}

Platform::Alert report(const std::optional<Outcome>& outcome) {
  if (!outcome) {
    return Platform::Alert::informational(
        "This copy of Quendrel cannot uninstall itself.",
        "Drag Quendrel to the Trash, and then this folder:\n\n" + Paths::install().string());
  }
  if (outcome->removed) {
    return Platform::Alert::informational("Quendrel has been removed.", outcome->text);
  }
  return Platform::Alert::warning("Quendrel was not fully removed.", outcome->text);
}

}  // namespace Uninstaller
