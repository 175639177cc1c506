#pragma once
// The self-update as the user meets it: the menu's update line, which follows one check of
// the feed and the fetching of a newer version, and the relaunch into it.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Queue.h"

#include "platform/Ui.h"
#include "update/AppUpdate.h"

class UpdateLine {
 public:
  // What the update line needs from the application around it.
  class Host {
   public:
    virtual ~Host() = default;
    // The status item whose menu holds the line; nothing before it is made.
    virtual Platform::StatusItem* item() const = 0;
    // Quits the application the usual way.
    virtual void terminate() = 0;
  };

  // The line is `line` of the host's menu.
  UpdateLine(Platform::Ui& ui, Host& host, std::size_t line) : ui_(ui), host_(host), line_(line) {}
  ~UpdateLine() { *alive_ = false; }
  UpdateLine(const UpdateLine&) = delete;
  UpdateLine& operator=(const UpdateLine&) = delete;

  // Asks the feed once and, for a newer version, fetches it; the line follows along.
  void lookForNewApp();
  // Puts the fetched version in place and quits once it has said it is up; says so when it
  // could not, or when it did not come up and the old version was put back.
  void installNewApp();

 private:
  // Follows the relaunch under way until the new version is up or has failed.
  void followRelaunch();

  Platform::Ui& ui_;
  Host& host_;
  std::size_t line_;
  std::optional<std::filesystem::path> readyToInstall_;
  std::string version_;  // the version ready to relaunch into
  std::unique_ptr<AppUpdate::Relaunch> relaunch_;
  std::unique_ptr<Platform::Repeating> following_;
  // Answers that arrive after the line has gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
