#include "update/UpdateLine.h"

#include <string>
#include <variant>

#include "platform/Queue.h"
#include "setup/Installer.h"
#include "update/AppUpdate.h"

namespace AppUpdate::Line {

std::string getting(const std::string& version) {
  return "Getting Quendrel " + version + "…";
}

std::string ready(const std::string& version) {
  return "Relaunch to finish updating to " + version;
}

std::string failed(const std::string& version) {
  return "Quendrel " + version + " could not be fetched";
}

std::string unopened(const std::string& version) {
  return "Quendrel " + version + " could not be opened";
}

}  // namespace AppUpdate::Line

namespace {

constexpr const char* notUpdated = "Quendrel was not updated.";
constexpr const char* stillWorking = "\n\nThe version you have is untouched and still working.";
constexpr const char* notOpened = "The new version could not be opened, so this one carries on.";
constexpr const char* settingUpMeanwhile =
    "A setup began while the new version was opening, so this version carries on. Try again "
    "once the setup has finished.";
// How often a relaunch under way is looked at.
constexpr double followSeconds = 0.1;

}  // namespace

void UpdateLine::lookForNewApp() {
  std::weak_ptr<bool> alive = alive_;
  AppUpdate::check([this, alive](std::optional<AppUpdate::Published> entry) {
    Platform::onMain([this, alive, entry] {
      if (alive.expired()) return;
      Platform::StatusItem* item = host_.item();
      if (!item) return;
      if (!entry) {
        item->setTitle(line_, std::string(AppUpdate::Line::upToDate));
        item->setAction(line_, {});
        item->setEnabled(line_, false);
        return;
      }
      const std::string version = entry->version();
      item->setTitle(line_, AppUpdate::Line::getting(version));
      item->setAction(line_, {});
      item->setEnabled(line_, false);
      AppUpdate::prepare(*entry, [this, alive, version](AppUpdate::Prepared prepared) {
        Platform::onMain([this, alive, version, prepared = std::move(prepared)] {
          if (alive.expired()) return;
          Platform::StatusItem* item = host_.item();
          if (!item) return;
          if (auto* staged = std::get_if<AppUpdate::Staged>(&prepared)) {
            readyToInstall_ = staged->app;
            version_ = version;
            item->setTitle(line_, AppUpdate::Line::ready(version));
            item->setAction(line_, [this] { installNewApp(); });
            item->setEnabled(line_, true);
          } else {
            item->setTitle(line_, AppUpdate::Line::failed(version));
            item->setEnabled(line_, false);
          }
        });
      });
    });
  });
}

void UpdateLine::installNewApp() {
  if (!readyToInstall_ || relaunch_) return;
  auto installing = AppUpdate::install(*readyToInstall_);
  if (auto* problem = std::get_if<AppUpdate::NotInstalled>(&installing)) {
    ui_.run(Platform::Alert::warning(notUpdated, problem->why + stillWorking));
    return;
  }
  relaunch_ = std::move(std::get<std::unique_ptr<AppUpdate::Relaunch>>(installing));
  if (Platform::StatusItem* item = host_.item()) item->setEnabled(line_, false);
  following_ = std::make_unique<Platform::Repeating>(followSeconds, [this] { followRelaunch(); });
}

void UpdateLine::followRelaunch() {
  if (!relaunch_) return;
  const auto state = relaunch_->look();
  if (state == AppUpdate::Relaunch::State::waiting) return;
  following_.reset();  // a timer may go from within its own tick
  // A setup started meanwhile keeps this copy from quitting: the new version may not stay.
  if (state == AppUpdate::Relaunch::State::up && !Installer::running) {
    relaunch_->keep();
    relaunch_.reset();
    return host_.terminate();
  }
  relaunch_->reverse();
  relaunch_.reset();
  Platform::StatusItem* item = host_.item();
  if (state == AppUpdate::Relaunch::State::up) {
    // The new version opened; it may be tried again once the setup has finished.
    if (item) item->setEnabled(line_, true);
    ui_.run(Platform::Alert::warning(notUpdated, settingUpMeanwhile));
    return;
  }
  // The same version would fail the same way: it is not offered again.
  readyToInstall_.reset();
  if (item) {
    item->setTitle(line_, AppUpdate::Line::unopened(version_));
    item->setAction(line_, {});
    item->setEnabled(line_, false);
  }
  ui_.run(Platform::Alert::warning(notUpdated, notOpened));
}
