#include "update/UpdateLine.h"

#include <string>
#include <variant>

#include "platform/Queue.h"
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

}  // namespace AppUpdate::Line

namespace {

constexpr const char* notUpdated = "Quendrel was not updated.";
constexpr const char* stillWorking = "\n\nThe version you have is untouched and still working.";

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
  if (!readyToInstall_) return;
  auto problem = AppUpdate::install(*readyToInstall_);
  if (!problem) {
    // The new version has been started; this one leaves through the usual door.
    std::weak_ptr<bool> alive = alive_;
    Platform::onMain([this, alive] {
      if (!alive.expired()) host_.terminate();
    });
    return;
  }
  ui_.run(Platform::Alert::warning(notUpdated, *problem + stillWorking));
}
