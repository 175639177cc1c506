#include "update/UpdateLine.h"

#include <string>
#include <variant>

#include "platform/queue.h"
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

void UpdateLine::lookForNewApp() {
  std::weak_ptr<bool> alive = alive_;
  AppUpdate::check([this, alive](std::optional<AppUpdate::Published> entry) {
    platform::onMain([this, alive, entry] {
      if (alive.expired()) return;
      platform::StatusItem* item = host_.item();
      if (!item) return;
      if (!entry) {
        item->setTitle(line_, std::string(AppUpdate::line::upToDate));
        item->setAction(line_, {});
        item->setEnabled(line_, false);
        return;
      }
      const std::string version = entry->version();
      item->setTitle(line_, AppUpdate::line::getting(version));
      item->setAction(line_, {});
      item->setEnabled(line_, false);
      AppUpdate::prepare(*entry, [this, alive, version](AppUpdate::Prepared prepared) {
        platform::onMain([this, alive, version, prepared = std::move(prepared)] {
          if (alive.expired()) return;
          platform::StatusItem* item = host_.item();
          if (!item) return;
          if (auto* staged = std::get_if<AppUpdate::Staged>(&prepared)) {
            readyToInstall_ = staged->app;
            item->setTitle(line_, AppUpdate::line::ready(version));
            item->setAction(line_, [this] { installNewApp(); });
            item->setEnabled(line_, true);
          } else {
            item->setTitle(line_, AppUpdate::line::failed(version));
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
    platform::onMain([this, alive] {
      if (!alive.expired()) host_.terminate();
    });
    return;
  }
  ui_.run(platform::Alert::warning(notUpdated, *problem + stillWorking));
}
