#include "setup/SetupWindow.h"

#include "platform/Characters.h"
#include "platform/Computer.h"
#include "platform/Queue.h"
#include "setup/Installer.h"
#include "text/Numeric.h"

namespace {

constexpr std::size_t codeLength = 6;
const std::string instruction = std::string("Ask for the six digits and type them here. This ") +
                                Platform::computer +
                                " will set itself up and start its "
                                "desk. It takes a few minutes.";
constexpr const char* settingUp = "Setting up. This takes a few minutes — you can leave it.";
const std::string finished =
    std::string("Done. This ") + Platform::computer + " is connected and its desk is running.";
constexpr const char* connectTitle = "Connect";
constexpr const char* closeTitle = "Close";
constexpr const char* termsBroken = "The terms could not be shown: ";
constexpr const char* tryAgain = ". Choose Connect to try again.";

}  // namespace

SetupWindow::SetupWindow(Platform::Ui& ui) : ui_(ui), agreement_(ui) {}

SetupWindow::~SetupWindow() {
  *alive_ = false;
}

SetupWindow::Code SetupWindow::numbersOf(const std::string& typed) {
  Code code;
  for (const std::string& character : Platform::characters(typed)) {
    if (!Text::numeric(Text::firstScalar(character))) continue;
    code.text += character;
    ++code.characters;
  }
  return code;
}

void SetupWindow::show(std::function<void()> then) {
  onDone_ = std::move(then);
  if (window_) return window_->bringToFront();
  window_ = ui_.makeSetupView();
  if (!window_) return;
  window_->listen({[this](const std::string& text) { edited(text); }, [this] { pressed(); }});
  window_->setExplain(instruction);
  window_->setCode("");
  window_->setCodeEnabled(true);
  window_->setButton(connectTitle, false);
  window_->bringToFront();
}

void SetupWindow::edited(const std::string& text) {
  Code kept = numbersOf(text);
  if (kept.text != text) window_->setCode(kept.text);
  // A longer code is not cut: the button waits until the extra characters are gone.
  window_->setButton(connectTitle, kept.characters == codeLength);
}

void SetupWindow::pressed() {
  if (done_) return finish();
  connect();
}

void SetupWindow::connect() {
  window_->setCodeEnabled(false);
  window_->setButton(connectTitle, false);
  agreement_.show(
      *window_,
      [this](std::optional<std::string> version) {
        if (!version) return giveBackCode();
        start(*version);
      },
      [this](const std::string& why) {
        window_->setExplain(termsBroken + why + tryAgain);
        giveBackCode();
      });
}

void SetupWindow::giveBackCode() {
  window_->setCodeEnabled(true);
  window_->setButton(connectTitle, true);
}

void SetupWindow::start(const std::string& terms) {
  window_->setExplain(settingUp);
  std::weak_ptr<bool> alive = alive_;
  Installer::run(window_->code(), terms, [this, alive](bool ok, std::string message) {
    Platform::onMain([this, alive, ok, message = std::move(message)] {
      if (alive.expired()) return;
      if (!ok) {
        window_->setExplain(message);
        window_->setCodeEnabled(true);
        window_->setButton(connectTitle, true);
        return;
      }
      window_->setExplain(finished);
      window_->setButton(closeTitle, true);
      done_ = true;
      if (onDone_) onDone_();
    });
  });
}

void SetupWindow::finish() {
  window_->close();
}
