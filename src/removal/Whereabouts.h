#pragma once
// Where the application's own bundle is on disk, and whether a bundle lies in an
// Applications folder.
//
// While the application runs from an Applications folder it holds its bundle open and hears
// from the file system when the bundle is renamed, moved, deleted or loses its volume; on
// request it works out where the bundle is now.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Watch.h"

class Whereabouts {
 public:
  struct Place {
    enum class Kind {
      moved,    // at `location`, not in a Trash
      inTrash,  // at `location`, inside a Trash
      home,     // still where it is taken to be, or nothing is watched
      gone,     // deleted, its volume gone, or it cannot be found
    };
    Kind kind = Kind::home;
    std::filesystem::path location;

    static Place moved(std::filesystem::path to) { return {Kind::moved, std::move(to)}; }
    static Place inTrash(std::filesystem::path at) { return {Kind::inTrash, std::move(at)}; }
    static Place atHome() { return {Kind::home, {}}; }
    static Place gone() { return {Kind::gone, {}}; }
    bool operator==(const Place&) const = default;
  };

  // Watches the application's own bundle (links resolved) when it lies in an Applications
  // folder; otherwise nothing is watched and the bundle always counts as at home.
  Whereabouts();
  // The same for the bundle at `bundle`.
  explicit Whereabouts(const std::filesystem::path& bundle);
  Whereabouts(const Whereabouts&) = delete;
  Whereabouts& operator=(const Whereabouts&) = delete;

  // Where the bundle is now; asks the file system afresh on every call.
  Place place() const;

  // Takes `bundle` as the bundle's place from now on. The watch goes on as it was: the
  // descriptor follows the same bundle wherever it is moved.
  void follow(const std::filesystem::path& bundle) { home_ = bundle; }

  const std::filesystem::path& home() const { return home_; }
  bool watching() const { return watch_.has_value(); }

  // Called on the main thread after every rename, delete or revoke reported for the bundle.
  std::function<void()> changed;

  // Whether a path lies in a Trash: a ".Trash" or ".Trashes" folder, the user's own
  // freedesktop trash, or a volume's ".Trash-<uid>/files".
  static bool trashed(const std::filesystem::path& path);

  // Moves the bundle at `inTrash` back to `home` ("Put It Back"), across file systems too,
  // and removes the note a freedesktop trash keeps about it. Gives the reason when it could
  // not be moved; the bundle then stays in the Trash.
  static std::optional<std::string> putBack(const std::filesystem::path& inTrash,
                                            const std::filesystem::path& home);

 private:
  void hold(const std::filesystem::path& bundle);
  // Places whose items are taken as they are named, without a look at them.
  static bool guarded(const std::string& path);

  std::filesystem::path home_;
  std::optional<Platform::Watch> watch_;
  bool deleted_ = false;  // a delete or revoke has been heard; never cleared
};
