#pragma once
// The launch-time flows that keep one copy of Quendrel, in an Applications folder: the offer
// to move there, handing over to an installed or running copy, taking the current name, and
// putting away the disk image a copy was moved from.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "placement/Applications.h"
#include "platform/Apps.h"
#include "platform/Ui.h"

class MoveOffer {
 public:
  // What the flows need from the application around them.
  class Host {
   public:
    virtual ~Host() = default;
    // Quits the application the usual way.
    virtual void terminate() = 0;
    // Goes on with the launch from here, after a hand-over that did not happen.
    virtual void carryOn() = 0;
  };

  // `arguments` are the process's command-line arguments after the program's name.
  MoveOffer(Platform::Ui& ui, Host& host, std::vector<std::string> arguments)
      : ui_(ui), host_(host), arguments_(std::move(arguments)) {}
  ~MoveOffer() { *alive_ = false; }
  MoveOffer(const MoveOffer&) = delete;
  MoveOffer& operator=(const MoveOffer&) = delete;

  // Each of these is true when this copy stops here: it moves itself, hands over to another
  // copy, closes, or takes its current name.
  bool offerToMove();
  bool leaveItToAnother();
  bool takeCurrentName();
  // Ejects, in the background, the disk image this copy was moved from once nothing runs
  // from it.
  void putAwayWhereItCameFrom();

  // Every other running copy of ours, wherever it lies, that has not terminated.
  static std::vector<Platform::RunningApp> otherCopies();
  // Asks every other copy to quit and waits a little while for them; true once none runs.
  bool closeOtherCopies();

  // The copy already in an Applications folder, and its version.
  struct Installed {
    std::filesystem::path location;
    std::string version;
  };
  // Where a move goes and what the offer says about it.
  struct Plan {
    Settling::Folders writable;  // in the order to try; the first is the one the offer means
    std::string sentence;        // what happens when the user agrees
  };
  // Chooses the folders a move may go to (the installed copy's own folder first, so that an
  // older copy is replaced where it stands; each folder once) and composes the sentence that
  // tells the user where it goes. Nothing when no folder is writable.
  static std::optional<Plan> plan(const std::optional<Installed>& installed,
                                  const Settling::Folders& folders, const Settling::Test& writable,
                                  bool fromDiskImage);

 private:
  // Moves this copy as planned, after the user agreed, and opens the moved copy.
  bool move(const std::filesystem::path& here,
            const std::optional<std::filesystem::path>& installed, const Plan& plan);
  void reopen(const std::filesystem::path& app, const std::filesystem::path& here, bool handOver);
  // Shows an "already open" or "not moved" message, then quits: this copy stops here.
  bool closeWith(const Platform::Alert& alert);

  Platform::Ui& ui_;
  Host& host_;
  std::vector<std::string> arguments_;
  // Answers that arrive after the flows have gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
