#pragma once
// Offering to remove the desk and Quendrel: from the menu, and when the bundle is found in the
// Trash or deleted. Following the bundle when it is merely moved.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Ui.h"
#include "removal/Whereabouts.h"

class RemovalQuestions {
 public:
  // What the questions need from the application around them.
  class Host {
   public:
    virtual ~Host() = default;
    // Quits the application the usual way.
    virtual void terminate() = 0;
  };

  // Watches the application's own bundle and reads the bundled uninstaller now, while the
  // bundle is surely there.
  RemovalQuestions(Platform::Ui& ui, Host& host);
  ~RemovalQuestions() { *alive_ = false; }
  RemovalQuestions(const RemovalQuestions&) = delete;
  RemovalQuestions& operator=(const RemovalQuestions&) = delete;

  // Records this copy as the desk's keeper and looks again whenever its bundle changes.
  void watch();
  // Looks where the bundle is now: follows a move, asks about the Trash or a deletion once
  // per situation.
  void lookWhereIAm();
  // "Uninstall Quendrel…" in the menu.
  void uninstall();

  const Whereabouts& whereabouts() const { return whereabouts_; }

 private:
  void askAboutTrash(const std::filesystem::path& inTrash);
  void askAboutGone();
  void finishUninstalling(const std::optional<std::filesystem::path>& app);

  Platform::Ui& ui_;
  Host& host_;
  Whereabouts whereabouts_;
  std::optional<std::string> uninstaller_;
  std::optional<std::string> asked_;
  // A removal question or report is on screen: the looks made meanwhile wait for it.
  bool removing_ = false;
  // Changes heard after the questions have gone find this flag cleared.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
