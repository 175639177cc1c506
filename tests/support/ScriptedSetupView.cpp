#include "support/ScriptedSetupView.h"

namespace testing_support {

ScriptedTerms::ScriptedTerms(ScriptedSetupView& window, std::string script, Handlers handlers)
    : wiring(std::move(script)), window_(window), handlers_(std::move(handlers)) {}

ScriptedTerms::~ScriptedTerms() {
  if (window_.sheet == this) window_.sheet = nullptr;
}

void ScriptedTerms::load(const std::string& address, double seconds) {
  loaded.push_back(address);
  timeout = seconds;
}

void ScriptedTerms::loadFile(const std::filesystem::path& file) {
  loaded.push_back("file://" + file.string());
}

void ScriptedTerms::post(const std::string& body) {
  if (auto handler = handlers_.message) handler(body);
}

bool ScriptedTerms::navigate(const std::string& url, bool clickedLink) {
  if (auto handler = handlers_.allow) return handler({url, clickedLink});
  return false;
}

void ScriptedTerms::fail() {
  if (auto handler = handlers_.failed) handler();
}

void ScriptedTerms::agree() {
  if (!agreeEnabled) return;
  if (auto handler = handlers_.agreed) handler();
}

void ScriptedTerms::cancel() {
  if (auto handler = handlers_.declined) handler();
}

ScriptedSetupView::~ScriptedSetupView() = default;

std::unique_ptr<Platform::TermsView> ScriptedSetupView::openSheet(
    const std::string& wiring, Platform::TermsView::Handlers handlers) {
  auto made = std::make_unique<ScriptedTerms>(*this, wiring, std::move(handlers));
  sheet = made.get();
  ++sheetsOpened;
  return made;
}

void ScriptedSetupView::type(const std::string& text) {
  if (!codeEnabled) return;
  codeText = text;
  if (auto handler = handlers_.edited) handler(text);
}

void ScriptedSetupView::press() {
  if (!buttonEnabled) return;
  if (auto handler = handlers_.pressed) handler();
}

}  // namespace testing_support
