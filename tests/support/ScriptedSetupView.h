#pragma once
// A setup window and terms sheet that a test drives as the user and the page would, and
// that record what they were told to show. A scripted Ui returns one from makeSetupView.
#include <vector>

#include "platform/SetupView.h"

namespace testing_support {

// Calls the handler, when there is one, on a copy of it: the call may close the window or
// sheet and so delete the object it came from, which is not touched after.
template <typename Handler, typename... Args>
auto callCopy(Handler handler, Args&&... args) {
  return handler ? handler(std::forward<Args>(args)...) : decltype(handler(args...))();
}

class ScriptedTerms : public Platform::TermsView {
 public:
  // `slot` points at this sheet while it is up.
  ScriptedTerms(ScriptedTerms*& slot, Handlers handlers)
      : slot_(slot), handlers_(std::move(handlers)) {}
  ~ScriptedTerms() override {
    if (slot_ == this) slot_ = nullptr;
  }

  void load(const std::string& address, double) override { loaded.push_back(address); }
  void loadFile(const std::filesystem::path& file) override {
    loaded.push_back("file://" + file.string());
  }
  void setAgreeEnabled(bool enabled) override { agreeEnabled = enabled; }
  void setCount(const std::string& text) override { count = text; }

  // What the sheet was told.
  std::string count;
  std::vector<std::string> loaded;  // addresses, and "file://" followed by a file's path
  bool agreeEnabled = false;

  // As the page and the user would.
  void post(const std::string& body) { callCopy(handlers_.message, body); }
  void fail() { callCopy(handlers_.failed); }

 private:
  ScriptedTerms*& slot_;
  Handlers handlers_;
};

class ScriptedSetupView : public Platform::SetupView {
 public:
  void listen(Handlers handlers) override { handlers_ = std::move(handlers); }
  void bringToFront() override {
    ++broughtToFront;
    open = true;
  }
  void close() override { open = false; }
  std::string code() const override { return codeText; }
  void setCode(const std::string& text) override { codeText = text; }
  void setCodeEnabled(bool enabled) override { codeEnabled = enabled; }
  void setExplain(const std::string& text) override { explain = text; }
  void setButton(const std::string& title, bool enabled) override {
    button = title;
    buttonEnabled = enabled;
  }
  std::unique_ptr<Platform::TermsView> openSheet(const std::string&,
                                                 Platform::TermsView::Handlers handlers) override {
    ++sheetsOpened;
    auto made = std::make_unique<ScriptedTerms>(sheet, std::move(handlers));
    sheet = made.get();
    return made;
  }

  // What the window shows.
  bool open = false, codeEnabled = false, buttonEnabled = false;
  std::string codeText, explain, button;
  int broughtToFront = 0, sheetsOpened = 0;
  ScriptedTerms* sheet = nullptr;  // the sheet while it is up

  // As the user would: replace the code's text (when it may be edited), choose the button
  // (or press Return; nothing happens while it is disabled).
  void type(const std::string& text) {
    if (codeEnabled) codeText = text;
    if (codeEnabled) callCopy(handlers_.edited, text);
  }
  void press() { callCopy(buttonEnabled ? handlers_.pressed : nullptr); }

 private:
  Handlers handlers_;
};

}  // namespace testing_support
