#pragma once
// Quendrel's own updates: the feed on the web service and the version order, fetching and
// staging a newer version, and putting it in place of the running one.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Lock.h"
#include "platform/Process.h"

namespace AppUpdate {

// One feed entry.
class Published {
 public:
  Published(std::string version, std::string sha256, std::string file)
      : version_(std::move(version)), sha256_(std::move(sha256)), file_(std::move(file)) {}
  const std::string& version() const { return version_; }
  const std::string& sha256() const { return sha256_; }
  const std::string& file() const { return file_; }

 private:
  std::string version_;
  std::string sha256_;
  std::string file_;
};

// The feed and the image it names, on the web service.
const std::string& latestURL();
const std::string& downloadURL();

// The running application's short version; "0" when it has none.
std::string mine();

// Reads one feed answer; the entry when it is well formed, whatever its version.
std::optional<Published> readFeed(const std::string& body);

// Asks the feed once; `then` gets the entry when it names a version newer than ours,
// else nothing. `then` runs on the HTTP session's thread.
void check(std::function<void(std::optional<Published>)> then);

// Where a newer version is fetched to and unpacked:
// ~/Library/Application Support/Quendrel/Update.
std::filesystem::path staging();

// A preparation's end: the staged copy of the new application, or why there is none.
struct Staged {
  std::filesystem::path app;
};
struct Unprepared {
  std::string why;  // one sentence for the user
};
using Prepared = std::variant<Staged, Unprepared>;

// Downloads the image the feed entry describes, checks its digest, saves it in the staging
// folder, attaches it and copies the application out of it to staging()/"Quendrel.app",
// which must be signed like us. Returns at once; `then` is called exactly once, on the HTTP
// session's thread, and the image is detached after it returns. `settled`, when given, is
// called last, on the same thread, once nothing of the preparation is attached or running.
void prepare(const Published& entry, std::function<void(Prepared)> then,
             std::function<void()> settled = {});

// A relaunch under way: the new version stands in the bundle's place and has been started
// as a new instance; the old one waits under a hidden name beside it (the folder held as a
// move holds it) until the new one has said it is up, has ended, or has let the bound pass.
class Relaunch {
 public:
  enum class State { waiting, up, failed };

  Relaunch(std::optional<Platform::Answering> child, std::filesystem::path bundle,
           std::filesystem::path aside, std::filesystem::path staged, Platform::FolderLock lock);
  // One still waiting when dropped is reversed.
  ~Relaunch() { reverse(); }
  Relaunch(const Relaunch&) = delete;
  Relaunch& operator=(const Relaunch&) = delete;

  // Where it stands, without waiting.
  State look();
  // Up: the old version is removed and the new one runs on by itself.
  void keep();
  // Not up: the new version is stopped if it runs and the old one goes back where it stood
  // in one step; the new one goes back to the staged place, or is removed.
  void reverse();

 private:
  std::optional<Platform::Answering> child_;  // none when it could not be started
  std::filesystem::path bundle_, aside_, staged_;
  Platform::FolderLock lock_;
  std::chrono::steady_clock::time_point deadline_;
  bool settled_ = false;
};

// Why the staged copy was not put in place; the running version is untouched.
struct NotInstalled {
  std::string why;  // for the user
};
using Installing = std::variant<NotInstalled, std::unique_ptr<Relaunch>>;

// Puts the staged copy in place of the running bundle in one step, the old one set aside
// beside it, and starts the new one as a new instance that says when it is up. The problem
// for the user, or the relaunch to follow: the caller quits once it is up, and reverses it
// otherwise.
Installing install(const std::filesystem::path& staged);

// The update line of the menu, as it goes: up to date, getting a version, ready to relaunch
// into it, not fetched, or fetched but not opened (a relaunch into it was reversed).
namespace Line {
inline constexpr std::string_view upToDate = "Quendrel is up to date";
std::string getting(const std::string& version);
std::string ready(const std::string& version);
std::string failed(const std::string& version);
std::string unopened(const std::string& version);
}  // namespace Line

}  // namespace AppUpdate
