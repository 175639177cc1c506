// Offering to remove the desk and Quendrel: from the menu, and when the bundle is found in the
// Trash or deleted. Following the bundle when it is merely moved.
#include <filesystem>

#include "app/Manager.h"
#include "desk/Paths.h"
#include "removal/Uninstaller.h"
#include "removal/Whereabouts.h"
#include "setup/Belonging.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* yourMixes =
    "Your projects and presets are not deleted — they are put on the Desktop in a folder called "
    "\"Quendrel — your mixes\".";

// A question whose first button acts: Return and Escape go to the harmless second one.
platform::Alert confirmation(std::string message, std::string informative, std::string act,
                             std::string keep) {
  platform::Alert alert;
  alert.style = platform::AlertStyle::warning;
  alert.message = std::move(message);
  alert.informative = std::move(informative);
  alert.buttons = {std::move(act), std::move(keep)};
  alert.returnKey = 1;
  alert.escapeKey = 1;
  return alert;
}

// Holds a flag up for as long as it lives.
class Raised {
 public:
  explicit Raised(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
  ~Raised() { flag_ = was_; }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;

 private:
  bool& flag_;
  bool was_;
};

}  // namespace

void Manager::lookWhereIAm() {
  // A removal question or report is on screen; the next look comes once it is answered.
  if (removing_) return;
  const Whereabouts::Place place = whereabouts_->place();
  std::string situation;
  switch (place.kind) {
    case Whereabouts::Place::Kind::moved:
      whereabouts_->follow(place.location);
      if (Whereabouts::settled(place.location)) Belonging::record(place.location);
      return;
    case Whereabouts::Place::Kind::home:
      asked_.reset();
      return;
    case Whereabouts::Place::Kind::inTrash:
      situation = "trash " + place.location.string();
      break;
    case Whereabouts::Place::Kind::gone:
      situation = "gone";
      break;
  }
  if (asked_ == situation) return;
  asked_ = situation;

  std::error_code error;
  if (!fs::exists(Paths::install(), error)) return terminate();
  // A desk that Quendrel did not install is left alone.
  if (!Belonging::recorded()) return;
  if (place.kind == Whereabouts::Place::Kind::inTrash) {
    askAboutTrash(place.location);
  } else {
    askAboutGone();
  }
}

void Manager::uninstall() {
  Raised busy(removing_);
  auto alert = confirmation(
      "Remove Quendrel from this Mac?",
      std::string("The console will stop and will not start again. Quendrel and everything it "
                  "installed are removed.\n\n") +
          yourMixes +
          "\n\nIf this Mac broadcasts a service, it will not be able to until Quendrel is "
          "installed again.",
      "Remove Quendrel", "Cancel");
  if (ui_.run(alert) != platform::firstButton) return;
  finishUninstalling(whereabouts_->home());
}

void Manager::askAboutTrash(const fs::path& inTrash) {
  Raised busy(removing_);
  auto alert = confirmation(
      "Quendrel is in the Trash",
      std::string("Remove it from this Mac completely? The console stops and will not start "
                  "again, and everything Quendrel installed is deleted.\n\n") +
          yourMixes + "\n\nIf it went in the Trash by mistake, put it back.",
      "Remove Quendrel", "Put It Back");
  if (ui_.run(alert) == platform::firstButton) return finishUninstalling(std::nullopt);

  if (!Whereabouts::putBack(inTrash, whereabouts_->home())) return;
  platform::Alert failed;
  failed.message = "Quendrel could not be put back.";
  failed.informative =
      "Open the Trash and choose Put Back on Quendrel. Until then the console carries on as it "
      "is.";
  ui_.run(failed);
}

void Manager::askAboutGone() {
  Raised busy(removing_);
  auto alert = confirmation(
      "Quendrel has been deleted",
      std::string("Its console is still running on this Mac. Remove that too? ") + yourMixes +
          "\n\nIf you leave it and Quendrel was emptied from the Trash, the console removes "
          "itself once nobody is using it, and that folder is put in your home folder instead. "
          "Deleted any other way, the console stays; to remove it later, download Quendrel "
          "again and choose Uninstall Quendrel… from its menu.",
      "Remove It Now", "Later");
  if (ui_.run(alert) == platform::firstButton) return finishUninstalling(std::nullopt);
  terminate();
}

void Manager::finishUninstalling(const std::optional<fs::path>& app) {
  Raised busy(removing_);
  auto outcome = runUninstaller(app);
  ui_.run(Uninstaller::report(
      outcome ? std::optional(Uninstaller::Outcome{outcome->first, outcome->second})
              : std::nullopt));
  if (outcome) terminate();
}

std::optional<std::pair<bool, std::string>> Manager::runUninstaller(
    const std::optional<fs::path>& app) {
  auto outcome = Uninstaller::run(uninstaller_, app);
  if (!outcome) return std::nullopt;
  return std::pair{outcome->removed, outcome->text};
}
