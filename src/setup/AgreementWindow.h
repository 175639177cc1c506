#pragma once
// The sheet with the service's terms over the setup window. It lets the user agree only once
// every box on the page is ticked, and answers with the version of the terms agreed to, or
// with nothing when the user cancels. When the service's page cannot be used it falls back
// to the copy of the terms in our payload; when that fails too, it closes by itself and
// answers with an empty version, so that setting up goes on.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Ui.h"

class AgreementWindow {
 public:
  using Answer = std::function<void(std::optional<std::string> version)>;
  // The sheet could not be shown: why, as a phrase.
  using Broken = std::function<void(const std::string& why)>;

  explicit AgreementWindow(Platform::Ui& ui);
  ~AgreementWindow();
  AgreementWindow(const AgreementWindow&) = delete;
  AgreementWindow& operator=(const AgreementWindow&) = delete;

  // Puts the sheet over `over` and loads the service's terms. `then` gets the answer on the
  // main thread; an earlier showing's unanswered `then` is dropped without a call. When the
  // sheet's program cannot start or stops, `broken` is told instead.
  void show(Platform::SetupView& over, Answer then, Broken broken);

  // The script that wires the page's boxes to the sheet.
  static const std::string& wiring();
  // Where the browser goes for a link the user clicked in the sheet: for a link in our own
  // copy (a file address) the service's base address followed by the file address's path.
  static std::string linkTarget(const std::string& url);

 private:
  void received(const std::string& body);
  bool decide(const Platform::Navigation& navigation);
  void useOwnCopy();
  void finish(std::optional<std::string> result);

  Platform::Ui& ui_;
  std::unique_ptr<Platform::TermsView> web_;  // the sheet and its web view, while it is up
  std::string version_;
  Answer answer_;
  bool onOwnCopy_ = false;  // never cleared: a later showing goes straight to the end
};
