#pragma once
// A setup window and terms sheet that a test drives as the user and the page would, and
// that record what they were told to show. A scripted Ui returns one from makeSetupView.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/SetupView.h"

namespace testing_support {

class ScriptedSetupView;

class ScriptedTerms : public Platform::TermsView {
 public:
  ScriptedTerms(ScriptedSetupView& window, std::string script, Handlers handlers)
      : wiring(std::move(script)), window_(window), handlers_(std::move(handlers)) {}
  ~ScriptedTerms() override;

  void load(const std::string& address, double seconds) override {
    loaded.push_back(address);
    timeout = seconds;
  }
  void loadFile(const std::filesystem::path& file) override {
    loaded.push_back("file://" + file.string());
  }
  void setAgreeEnabled(bool enabled) override { agreeEnabled = enabled; }
  void setCount(const std::string& text) override { count = text; }

  // What the sheet was told.
  std::string wiring;
  std::vector<std::string> loaded;  // addresses, and "file://" followed by a file's path
  double timeout = 0;
  bool agreeEnabled = false;
  std::string count;

  // As the page and the user would. Each may close the sheet and so delete this object: the
  // handler is copied out first, and nothing is touched after it is called.
  void post(const std::string& body) {
    if (auto handler = handlers_.message) handler(body);
  }
  bool navigate(const std::string& url, bool clickedLink) {
    auto handler = handlers_.allow;
    return handler && handler({url, clickedLink});
  }
  void fail() {
    if (auto handler = handlers_.failed) handler();
  }
  // Nothing happens while "I agree" is disabled.
  void agree() {
    if (auto handler = handlers_.agreed; handler && agreeEnabled) handler();
  }
  void cancel() {
    if (auto handler = handlers_.declined) handler();
  }

 private:
  ScriptedSetupView& window_;
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
  std::unique_ptr<Platform::TermsView> openSheet(const std::string& wiring,
                                                 Platform::TermsView::Handlers handlers) override {
    auto made = std::make_unique<ScriptedTerms>(*this, wiring, std::move(handlers));
    sheet = made.get();
    ++sheetsOpened;
    return made;
  }

  // What the window shows.
  bool open = false;
  int broughtToFront = 0;
  std::string codeText;
  bool codeEnabled = false;
  std::string explain;
  std::string button;
  bool buttonEnabled = false;
  ScriptedTerms* sheet = nullptr;  // the sheet while it is up
  int sheetsOpened = 0;

  // As the user would: replace the code's text, choose the button (or press Return).
  void type(const std::string& text) {
    if (!codeEnabled) return;
    codeText = text;
    if (auto handler = handlers_.edited) handler(text);
  }
  void press() {
    if (auto handler = handlers_.pressed; handler && buttonEnabled) handler();
  }

 private:
  Handlers handlers_;
};

inline ScriptedTerms::~ScriptedTerms() {
  if (window_.sheet == this) window_.sheet = nullptr;
}

}  // namespace testing_support
