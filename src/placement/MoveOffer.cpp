#include "placement/MoveOffer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "desk/Paths.h"
#include "placement/Moving.h"
#include "platform/Bundle.h"
#include "platform/Computer.h"
#include "platform/Files.h"
#include "platform/Mounts.h"
#include "platform/Process.h"
#include "platform/Queue.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* alreadyOpen = "Quendrel is already open";
constexpr const char* notMoved = "Quendrel was not moved";

constexpr double closingSeconds = 5.0;
constexpr double closingSlice = 0.1;
constexpr int ejectTries = 60;
constexpr auto ejectPause = std::chrono::milliseconds(500);

std::optional<fs::path> here() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return std::nullopt;
  return bundle->location;
}

Platform::Alert informational(std::string message, std::string informative) {
  return Platform::Alert::informational(std::move(message), std::move(informative));
}

Settling::Pair pairOf(const fs::path& bundle) {
  return {Settling::version(bundle), Settling::build(bundle)};
}

// "X.app/" and "X.app" are the same folder.
fs::path plain(const fs::path& p) {
  return Platform::withoutTrailingSlash(p);
}

// Waits, off the main thread, for nothing to run from the disk image any more, then ejects
// it unless something still does. Never forces; gives up after half a minute.
void ejectOnceUnused(const fs::path& mountPoint) {
  const std::string inside = Platform::resolved(mountPoint) + "/";
  for (int tries = 0;; ++tries) {
    const auto apps = Platform::runningApplications();
    const bool used = std::any_of(apps.begin(), apps.end(), [&](const Platform::RunningApp& app) {
      return app.bundle && Platform::resolved(*app.bundle).starts_with(inside);
    });
    if (!used || tries == ejectTries) break;
    std::this_thread::sleep_for(ejectPause);
  }
  if (!Settling::inUse(mountPoint)) Settling::eject(mountPoint);
}

}  // namespace

bool MoveOffer::offerToMove() {
  auto found = here();
  if (!found) return false;
  const fs::path here = *found;
  const Settling::Folders all = Settling::folders();
  if (!Settling::destination(here, all, Settling::canWrite)) return false;

  const auto installed = Settling::installedCopy(all);
  if (installed && !Settling::newer(pairOf(here), pairOf(*installed))) {
    if (Settling::isRunning(*installed)) {
      return closeWith(
          informational(alreadyOpen,
                        "It is running from your Applications folder — its knob is in the menu "
                        "bar, and opening it from Applications shows everything it does. This "
                        "copy closes now."));
    }
    reopen(*installed, here, true);
    return true;
  }

  std::optional<Installed> known;
  if (installed) known = Installed{*installed, Settling::version(*installed)};
  const auto planned = plan(known, all, Settling::canWrite, Settling::diskImage(here).has_value());
  if (!planned) return false;
  return move(here, installed, *planned);
}

std::optional<MoveOffer::Plan> MoveOffer::plan(const std::optional<Installed>& installed,
                                               const Settling::Folders& folders,
                                               const Settling::Test& writable, bool fromDiskImage) {
  Settling::Folders candidates;
  if (installed) candidates.push_back(installed->location.parent_path());
  candidates.insert(candidates.end(), folders.begin(), folders.end());
  Plan plan;
  Settling::Folders seen;
  for (const auto& folder : candidates) {
    if (std::find(seen.begin(), seen.end(), plain(folder)) != seen.end()) continue;
    seen.push_back(plain(folder));
    if (writable(folder)) plan.writable.push_back(folder);
  }
  if (plan.writable.empty()) return std::nullopt;
  const fs::path chosen = plan.writable.front();

  if (!installed) {
    plan.sentence = "It puts itself there and opens again from Applications.";
  } else {
    const std::string oldName = "Quendrel " + installed->version;
    if (plain(installed->location.parent_path()) == plain(chosen)) {
      plan.sentence =
          "It replaces the older " + oldName + " there and opens again from Applications.";
    } else {
      const std::string where = plain(chosen) == "/Applications"
                                    ? "the Applications folder"
                                    : "the Applications folder in your home folder";
      plan.sentence = "This account cannot change the Applications folder the older " + oldName +
                      " is in, so this one goes in " + where + " and opens again " +
                      "from there. Taking the older one away needs somebody who " +
                      "administers this " + Platform::computer + ".";
    }
  }
  if (!fromDiskImage)
    plan.sentence += " The copy it was opened from can be thrown away afterwards.";
  return plan;
}

bool MoveOffer::move(const fs::path& here, const std::optional<fs::path>& installed,
                     const Plan& plan) {
  Platform::Alert offer;
  offer.message = "Move Quendrel to your Applications folder?";
  offer.informative = "Quendrel is running from " + Settling::describe(here) + ". " +
                      "It needs to be in your Applications folder to keep itself up to " +
                      "date, and so that dragging it to the Trash and emptying the " +
                      "Trash takes its console off this " + Platform::computer + " too.\n\n" +
                      plan.sentence;
  std::error_code error;
  if (fs::exists(Paths::install(), error))
    offer.informative += " The console keeps running meanwhile.";
  offer.buttons = {"Move to Applications", "Not Now"};
  offer.returnKey = 0;
  offer.escapeKey = 1;

  if (ui_.run(offer) != Platform::firstButton) {
    if (otherCopies().empty()) return false;
    return closeWith(
        informational(alreadyOpen,
                      "Another copy of Quendrel is running, so this one closes rather than put a "
                      "second one in the menu bar. To use this one instead, open it again and "
                      "choose Move to Applications."));
  }

  if (!closeOtherCopies()) {
    return closeWith(informational(
        notMoved, std::string("Another copy of Quendrel is still busy — setting this ") +
                      Platform::computer +
                      " up, perhaps, or "
                      "showing a message — and did not close. Nothing has changed. Let it "
                      "finish, then open this copy " +
                      std::string("again from ") + Settling::describe(here) +
                      " and choose Move to " + "Applications."));
  }

  Settling::Outcome outcome = Settling::Failed{};
  for (const auto& folder : plan.writable) {
    const fs::path target = installed && plain(installed->parent_path()) == plain(folder)
                                ? *installed
                                : folder / Settling::fileName;
    outcome = Settling::move(here, target, Settling::isRunning);
    if (!std::holds_alternative<Settling::Failed>(outcome)) break;
  }

  if (auto* moved = std::get_if<Settling::Moved>(&outcome)) {
    reopen(moved->location, here, true);
    return true;
  }
  if (std::holds_alternative<Settling::Running>(outcome)) {
    return closeWith(
        informational(alreadyOpen,
                      "The copy in your Applications folder did not close, so it has not been "
                      "replaced. Once it has finished what it is doing, " +
                          std::string("open this copy again from ") + Settling::describe(here) +
                          " and " + "choose Move to Applications."));
  }
  if (std::holds_alternative<Settling::Foreign>(outcome)) {
    ui_.run(
        informational(notMoved,
                      "Something else called “Quendrel.app” is already in your Applications "
                      "folder, so it has been left alone. Quendrel carries on from where it is."));
    return false;
  }
  ui_.run(informational(notMoved, std::get<Settling::Failed>(outcome).why +
                                      "\n\nNothing else has changed. Quendrel carries on from " +
                                      "where it is, and can still be dragged into Applications."));
  return false;
}

bool MoveOffer::closeWith(const Platform::Alert& alert) {
  ui_.run(alert);
  host_.terminate();
  return true;
}

bool MoveOffer::leaveItToAnother() {
  const auto others = otherCopies();
  if (others.empty()) return false;

  const Settling::Pair mine = Settling::running();
  const auto found = here();
  const bool placed = found && Settling::settled(*found);
  const bool better =
      std::any_of(others.begin(), others.end(), [&](const Platform::RunningApp& other) {
        if (!other.bundle) return false;
        const Settling::Pair theirs = pairOf(*other.bundle);
        if (Settling::newer(theirs, mine)) return true;
        return !Settling::newer(mine, theirs) && Settling::settled(*other.bundle) && !placed;
      });

  if (better) {
    return closeWith(informational(alreadyOpen,
                                   "A copy of Quendrel that is the same as this one or newer is "
                                   "already running, and its knob is in the menu bar. This copy "
                                   "closes now rather than put a second one beside it."));
  }
  if (closeOtherCopies()) return false;
  return closeWith(informational(
      alreadyOpen,
      std::string("Another copy of Quendrel is busy — setting this ") + Platform::computer +
          " up, perhaps, or showing "
          "a message — and did not close. This copy closes now; open it again once the "
          "other has finished."));
}

bool MoveOffer::takeCurrentName() {
  const auto found = here();
  if (!found) return false;
  const auto renamed = Settling::renamedToCurrent(*found, Settling::folders());
  if (!renamed) return false;
  reopen(*renamed, *found, false);
  return true;
}

void MoveOffer::putAwayWhereItCameFrom() {
  auto flag = std::find(arguments_.begin(), arguments_.end(), Settling::movedFrom);
  if (flag == arguments_.end() || std::next(flag) == arguments_.end()) return;
  const auto mountPoint = Settling::diskImage(*std::next(flag));
  if (!mountPoint) return;
  // A disk image mounted elsewhere than where volumes appear is not ours to put away.
  if (!Platform::onVolume(mountPoint->string() + "/")) return;
  Platform::inBackground(Platform::Qos::utility,
                         [mountPoint = *mountPoint] { ejectOnceUnused(mountPoint); });
}

void MoveOffer::reopen(const fs::path& app, const fs::path& here, bool handOver) {
  std::vector<std::string> arguments;
  if (handOver) arguments.emplace_back(Settling::handedOver);
  if (Settling::diskImage(here)) {
    arguments.emplace_back(Settling::movedFrom);
    arguments.push_back(here.string());
  }

  const std::optional<std::string> failure = Settling::openAsNewInstance(app, arguments);

  std::weak_ptr<bool> alive = alive_;
  Platform::onMain([this, alive, failure] {
    if (alive.expired()) return;
    if (!failure) return host_.terminate();
    ui_.run(informational("Quendrel is in your Applications folder",
                          "It could not be opened from there just now, so it carries on from here "
                          "for the moment. Next time, open it from Applications.\n\n" +
                              *failure));
    host_.carryOn();
  });
}

std::vector<Platform::RunningApp> MoveOffer::otherCopies() {
  const int self = Platform::selfPid();
  std::vector<Platform::RunningApp> copies;
  for (auto& app : Platform::runningApplications()) {
    if (app.pid == self || !app.main || !app.identifier ||
        Settling::identities.count(*app.identifier) == 0)
      continue;
    if (Platform::isTerminated(app.pid)) continue;
    copies.push_back(std::move(app));
  }
  return copies;
}

bool MoveOffer::closeOtherCopies() {
  const auto others = otherCopies();
  if (others.empty()) return true;
  for (const auto& other : others) Platform::terminate(other.pid);
  auto allGone = [&] {
    return std::all_of(others.begin(), others.end(), [](const Platform::RunningApp& other) {
      return Platform::isTerminated(other.pid);
    });
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(closingSeconds);
  while (!allGone() && std::chrono::steady_clock::now() < deadline)
    Platform::turnLoop(closingSlice);
  return allGone();
}
