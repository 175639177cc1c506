#include "removal/RemovalQuestions.h"

#include "desk/Paths.h"
#include "placement/Applications.h"
#include "placement/Desktop.h"
#include "platform/Computer.h"
#include "platform/Moving.h"
#include "removal/Uninstaller.h"
#include "setup/Belonging.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* yourMixes =
    "Your projects and presets are not deleted — they are put on the Desktop in a folder called "
    "\"Quendrel — your mixes\".";

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

RemovalQuestions::RemovalQuestions(Platform::Ui& ui, Host& host)
    : ui_(ui), host_(host), uninstaller_(Uninstaller::bundled()) {}

void RemovalQuestions::watch() {
  Belonging::record(whereabouts_.home());
  whereabouts_.changed = [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    lookWhereIAm();
  };
}

void RemovalQuestions::lookWhereIAm() {
  // A removal question or report is on screen; the next look comes once it is answered.
  if (removing_) return;
  const Whereabouts::Place place = whereabouts_.place();
  std::string situation;
  switch (place.kind) {
    case Whereabouts::Place::Kind::moved:
      whereabouts_.follow(place.location);
      if (Settling::settled(place.location)) Belonging::record(place.location);
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
  if (!fs::exists(Paths::install(), error)) return host_.terminate();
  // A desk that Quendrel did not install is left alone.
  if (!Belonging::recorded()) return;
  if (place.kind == Whereabouts::Place::Kind::inTrash) {
    askAboutTrash(place.location);
  } else {
    askAboutGone();
  }
}

void RemovalQuestions::uninstall() {
  Raised busy(removing_);
  auto alert = Platform::Alert::confirmation(
      std::string("Remove Quendrel from this ") + Platform::computer + "?",
      std::string("The console will stop and will not start again. Quendrel and everything it "
                  "installed are removed.\n\n") +
          yourMixes + "\n\nIf this " + Platform::computer +
          " broadcasts a service, it will not be able to until Quendrel is "
          "installed again.",
      "Remove Quendrel", "Cancel");
  if (ui_.run(alert) != Platform::firstButton) return;
  finishUninstalling(whereabouts_.home());
}

void RemovalQuestions::askAboutTrash(const fs::path& inTrash) {
  Raised busy(removing_);
  auto alert = Platform::Alert::confirmation(
      "Quendrel is in the Trash",
      std::string("Remove it from this ") + Platform::computer +
          " completely? The console stops and will not start again, and everything Quendrel "
          "installed is deleted.\n\n" +
          yourMixes + "\n\nIf it went in the Trash by mistake, put it back.",
      "Remove Quendrel", "Put It Back");
  if (ui_.run(alert) == Platform::firstButton) return finishUninstalling(std::nullopt);

  if (!Whereabouts::putBack(inTrash, whereabouts_.home())) return;
  ui_.run(Platform::Alert::informational(
      "Quendrel could not be put back.",
      "Open the Trash and choose Put Back on Quendrel. Until then the console carries on as it "
      "is."));
}

void RemovalQuestions::askAboutGone() {
  Raised busy(removing_);
  auto alert = Platform::Alert::confirmation(
      "Quendrel has been deleted",
      std::string("Its console is still running on this ") + Platform::computer +
          ". Remove that too? " + yourMixes +
          "\n\nIf you leave it and Quendrel was emptied from the Trash, the console removes "
          "itself once nobody is using it, and that folder is put in your home folder instead. "
          "Deleted any other way, the console stays; to remove it later, download Quendrel "
          "again and choose Uninstall Quendrel… from its menu.",
      "Remove It Now", "Later");
  if (ui_.run(alert) == Platform::firstButton) return finishUninstalling(std::nullopt);
  host_.terminate();
}

void RemovalQuestions::finishUninstalling(const std::optional<fs::path>& app) {
  Raised busy(removing_);
  auto outcome = Uninstaller::run(uninstaller_, app);
  if (outcome && outcome->removed) Desktop::forget();
  ui_.run(Uninstaller::report(outcome));
  if (outcome) host_.terminate();
}
