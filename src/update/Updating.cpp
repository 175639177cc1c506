// The self-update as the user meets it: the menu's update line, which follows one check of
// the feed and the fetching of a newer version, and the relaunch into it.
#include "app/Manager.h"
#include "update/AppUpdate.h"

namespace AppUpdate::line {

std::string getting(const std::string& version) {
  return "Getting Quendrel " + version + "…";
}

std::string ready(const std::string& version) {
  return "Relaunch to finish updating to " + version;
}

std::string failed(const std::string& version) {
  return "Quendrel " + version + " could not be fetched";
}

}  // namespace AppUpdate::line

namespace {

constexpr const char* notUpdated = "Quendrel was not updated.";
constexpr const char* stillWorking = "\n\nThe version you have is untouched and still working.";

}  // namespace

void Manager::lookForNewApp() {
  std::weak_ptr<bool> alive = alive_;
  AppUpdate::check([this, alive](std::optional<AppUpdate::Published> entry) {
    platform::onMain([this, alive, entry] {
      if (alive.expired() || !item_) return;
      offered_ = entry;
      if (!entry) {
        item_->setTitle(updateLine, std::string(AppUpdate::line::upToDate));
        item_->setAction(updateLine, {});
        item_->setEnabled(updateLine, false);
        return;
      }
      const std::string version = entry->version();
      item_->setTitle(updateLine, AppUpdate::line::getting(version));
      item_->setAction(updateLine, {});
      item_->setEnabled(updateLine, false);
      AppUpdate::prepare(*entry, [this, alive, version](AppUpdate::Prepared prepared) {
        platform::onMain([this, alive, version, prepared = std::move(prepared)] {
          if (alive.expired() || !item_) return;
          if (auto* staged = std::get_if<AppUpdate::Staged>(&prepared)) {
            readyToInstall_ = staged->app;
            item_->setTitle(updateLine, AppUpdate::line::ready(version));
            item_->setAction(updateLine, [this] { installNewApp(); });
            item_->setEnabled(updateLine, true);
          } else {
            item_->setTitle(updateLine, AppUpdate::line::failed(version));
            item_->setEnabled(updateLine, false);
            lastProblem_ = std::get<AppUpdate::Unprepared>(prepared).why;
          }
        });
      });
    });
  });
}

void Manager::installNewApp() {
  if (!readyToInstall_) return;
  auto problem = AppUpdate::install(*readyToInstall_);
  if (!problem) {
    // The new version has been started; this one leaves through the usual door.
    std::weak_ptr<bool> alive = alive_;
    platform::onMain([this, alive] {
      if (!alive.expired()) terminate();
    });
    return;
  }
  platform::Alert alert;
  alert.style = platform::AlertStyle::warning;
  alert.message = notUpdated;
  alert.informative = *problem + stillWorking;
  ui_.run(alert);
}
