#include "setup/Installer.h"

#include <optional>
#include <utility>
#include <variant>

#include "desk/Paths.h"
#include "platform/Bundle.h"
#include "platform/Computer.h"
#include "platform/Copying.h"
#include "platform/Files.h"
#include "platform/Lock.h"
#include "platform/Process.h"
#include "platform/Queue.h"
#include "setup/Belonging.h"
#include "setup/Service.h"
#include "text/Text.h"

namespace fs = std::filesystem;

namespace Installer {

bool running = false;

namespace {

constexpr const char* incomplete =
    "This copy of Quendrel is incomplete — it has no console inside it. Download it again.";
constexpr const char* notAccepted =
    "That code was not accepted. Codes last an hour and work once — ask for another.";
constexpr const char* unexpected = "Something unexpected went wrong: ";

// Runs entered on the main thread and not yet ended; `running` holds while there is one.
int underWay = 0;

void ended() {
  if (underWay > 0) --underWay;
  running = underWay > 0;
}

// Where a run lays the desk down and where it puts what was there before.
struct Layout {
  fs::path install;
  fs::path aside;       // the previous installation
  fs::path unfinished;  // a half-laid installation that a run started over from
  bool renamesApp = false;
};

Layout layout() {
  const fs::path install = Paths::install();
  if (install.string() == Paths::movedInstall().string()) {
    const fs::path beside = install.parent_path();
    return {install, beside / "Desk-previous", beside / "Desk-unfinished", true};
  }
  return {install, Paths::firstAside(), install.parent_path() / "Tarvic-unfinished", false};
}

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The whole tree with its modes, links and times, the kernel copying the bytes; names in
// `leaveOut` at its top are left behind.
void copyItem(const fs::path& from, const fs::path& to,
              const std::vector<std::string>& leaveOut = {}) {
  if (int error = Platform::copyTree(from, to, leaveOut)) {
    throw fs::filesystem_error("cannot copy", from, to,
                               std::error_code(error, std::generic_category()));
  }
}

// Moves an item of the keep folder to its place: a rename where both are on one file system,
// so that the user's work is copied only once; a copy where they are not.
void putBack(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error == std::errc::cross_device_link) {
    copyItem(from, to);
  } else if (error) {
    throw fs::filesystem_error("cannot move", from, to, error);
  }
}

// The marker is what lets a run that is cut short be repaired, so a run that cannot write
// it stops before the step the word announces.
void mark(std::string_view word) {
  if (!reach(word)) {
    throw Failed{std::string(unexpected) + "the progress of setting up could not be noted in " +
                 Paths::settingUp().string() + "."};
  }
}

// The run's copies of the kept items, in a folder of the temporary folder that only this
// user can enter (they include the presets and the pairing credentials). The items keep
// their own modes so that they go back unchanged; the folder goes when the run is done with
// it, whether it succeeded or not.
class KeepFolder {
 public:
  KeepFolder() {
    std::error_code ignored;
    fs::create_directories(Platform::temporaryFolder(), ignored);
    const std::string prefix = "quendrel-keep-";
    path_ = Platform::makePrivateFolder(prefix).value_or(Platform::temporaryFolder() /
                                                         (prefix + Platform::uuid()));
  }
  ~KeepFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  KeepFolder(const KeepFolder&) = delete;
  KeepFolder& operator=(const KeepFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::pair<bool, std::string> attempt(const std::string& code, const std::string& terms) {
  Platform::FolderLock lock(Platform::home());
  if (lock.taken()) return {false, alreadyUnderWay};
  try {
    layDown();
    shell("setup.sh", "Setting up", {});
    pair(code, terms);
    shell("agent.sh", "Starting", {"install"});
    if (auto bundle = Platform::mainBundle()) Belonging::record(bundle->location);
  } catch (const Failed& failed) {
    return {false, failed.why};
  } catch (const std::exception& error) {
    return {false, unexpected + std::string(error.what())};
  } catch (...) {
    return {false, unexpected + std::string("an error without a description.")};
  }
  std::error_code ignored;
  fs::remove(Paths::settingUp(), ignored);
  return {true, ""};
}

std::string quotedForPython(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

void run(std::string code, std::string terms,
         std::function<void(bool ok, std::string message)> then) {
  ++underWay;
  running = true;
  Platform::inBackground(
      Platform::Qos::userInitiated,
      [code = std::move(code), terms = std::move(terms), then = std::move(then)] {
        auto [ok, message] = attempt(code, terms);
        Platform::onMain(ended);
        if (then) then(ok, message);
      });
}

void layDown() {
  const auto bundle = Platform::mainBundle();
  if (!bundle || !present(bundle->resources() / "payload")) throw Failed{incomplete};
  const fs::path payload = fs::canonical(bundle->resources() / "payload");

  const Layout place = layout();
  const std::string word = reached();

  std::optional<fs::path> keepFrom;
  bool startOver = false;
  if (word == "moved" && present(place.aside)) {
    // An earlier run set the installation aside and did not finish laying the new one down.
    keepFrom = place.aside;
    startOver = true;
  } else {
    startOver = word == "fresh";
    if (!present(place.install) || startOver) {
      mark("fresh");
    } else {
      mark("keeping");
      keepFrom = place.install;
    }
  }

  std::optional<KeepFolder> keep;
  std::vector<std::string> kept;
  if (keepFrom) {
    keep.emplace();
    for (std::string_view name : keptNames) {
      const fs::path item = *keepFrom / name;
      if (!Platform::existsNoFollow(item)) continue;
      copyItem(item, keep->path() / name);
      kept.emplace_back(name);
    }
  }

  if (present(place.install)) {
    if (startOver) {
      fs::rename(place.install, spare(place.unfinished));
    } else {
      if (Platform::existsNoFollow(place.aside)) fs::remove_all(place.aside);
      mark("moved");
      fs::rename(place.install, place.aside);
    }
  }

  // What the payload has under a kept name would be replaced at once: it is not copied.
  fs::create_directories(place.install.parent_path());
  copyItem(payload, place.install, kept);
  if (place.renamesApp && present(place.install / "Tarvic.app")) {
    fs::rename(place.install / "Tarvic.app", place.install / "Quendrel.app");
  }
  for (const std::string& name : kept) {
    std::error_code ignored;
    fs::remove_all(place.install / name, ignored);
    putBack(keep->path() / name, place.install / name);
  }
  keep.reset();
  mark("laid");
}

void shell(const std::string& script, const std::string& label,
           const std::vector<std::string>& args) {
  const fs::path folder = Paths::install();
  std::vector<std::string> arguments{(folder / script).string()};
  arguments.insert(arguments.end(), args.begin(), args.end());
  const auto ran = Platform::run({"/bin/bash", arguments, folder.string()}, Platform::Output::pipe);
  if (const auto* unstarted = std::get_if<Platform::Unstarted>(&ran)) {
    throw Failed{label + " could not start: " + unstarted->why};
  }
  const auto& exited = std::get<Platform::Exited>(ran);
  if (exited.status == 0) return;
  std::string reason =
      Text::lastJoined(Text::nonEmptyLines(Text::utf8OrEmpty(exited.output)), 3, " ");
  throw Failed{reason.empty() ? label + " did not finish." : reason};
}

void pair(const std::string& code, const std::string& terms) {
  const fs::path folder = Paths::install();
  const auto ran = Platform::run({(folder / ".venv/bin/python").string(),
                                  {"-c", pairingScript(), code, terms},
                                  folder.string()},
                                 Platform::Output::pipe);
  if (const auto* unstarted = std::get_if<Platform::Unstarted>(&ran)) {
    throw Failed{std::string("Could not connect this ") + Platform::computer + ": " +
                 unstarted->why};
  }
  const auto& exited = std::get<Platform::Exited>(ran);
  if (exited.status == 0) return;
  std::string said = Text::trim(Text::utf8OrEmpty(exited.output));
  throw Failed{said.empty() ? notAccepted : said};
}

std::string pairingAddress(std::string_view service) {
  std::string_view scheme;
  std::string_view rest = service;
  if (auto colon = service.find("://"); colon != std::string_view::npos) {
    scheme = service.substr(0, colon);
    rest = service.substr(colon + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  return std::string(scheme == "http" ? "ws" : "wss") + "://" + std::string(rest) + "/church";
}

std::string pairingScript() {
  return "import asyncio, sys\n"
         "from engine.uplink import pair\n"
         "r = asyncio.run(pair('" +
         quotedForPython(pairingAddress(Service::address())) + "',\n" + std::string(21, ' ') +
         "sys.argv[1], 'presets/.uplink', sys.argv[2]))\n"
         "print(r['message'])\n"
         "sys.exit(0 if r['ok'] else 1)";
}

bool reach(std::string_view word) {
  return Platform::writeAtomically(Paths::settingUp(), std::string(word) + "\n");
}

std::string reached() {
  auto bytes = Platform::readFile(Paths::settingUp());
  if (!bytes) return {};
  return Text::trim(Text::utf8OrEmpty(*bytes));
}

fs::path spare(const fs::path& place) {
  fs::path candidate = place;
  for (int counter = 2; Platform::existsNoFollow(candidate); ++counter) {
    candidate = place.parent_path() / (place.filename().string() + " " + std::to_string(counter));
  }
  return candidate;
}

}  // namespace Installer
