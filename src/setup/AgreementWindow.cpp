#include "setup/AgreementWindow.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/Bundle.h"
#include "setup/Service.h"

namespace {

constexpr double termsTimeout = 10.0;

std::optional<std::filesystem::path> ownCopy() {
  auto bundle = Platform::mainBundle();
  if (!bundle) return std::nullopt;
  std::filesystem::path file = bundle->resources() / "payload/ui/terms.html";
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return std::nullopt;
  return file;
}

}  // namespace

AgreementWindow::AgreementWindow(Platform::Ui& ui) : ui_(ui) {}

AgreementWindow::~AgreementWindow() = default;

const std::string& AgreementWindow::wiring() {
  static const std::string script =
      "(() => {\n"
      "  const main = document.querySelector('main');\n"
      "  const how = document.querySelector('.how');\n"
      "  if (how) how.remove();\n"
      "  const boxes = main ? [...main.querySelectorAll('input[type=checkbox]')] : [];\n"
      "  const say = () => window.webkit.messageHandlers.terms.postMessage({\n"
      "    version: main ? (main.dataset.version || '') : '',\n"
      "    done: boxes.filter(b => b.checked).length, of: boxes.length });\n"
      "  boxes.forEach(b => { b.disabled = false; b.onchange = say; });\n"
      "  say();\n"
      "})();";
  return script;
}

std::string AgreementWindow::linkTarget(const std::string& url) {
  const std::string scheme = "file:";
  if (url.compare(0, scheme.size(), scheme) != 0) return url;
  std::string rest = url.substr(scheme.size());
  if (rest.compare(0, 2, "//") == 0) {
    // Skip the host, usually empty.
    auto slash = rest.find('/', 2);
    rest = slash == std::string::npos ? "" : rest.substr(slash);
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  return Service::address() + rest;
}

void AgreementWindow::show(Platform::SetupView& over, Answer then, Broken broken) {
  answer_ = std::move(then);
  Platform::TermsView::Handlers handlers;
  handlers.message = [this](const std::string& body) { received(body); };
  handlers.allow = [this](const Platform::Navigation& navigation) { return decide(navigation); };
  handlers.failed = [this] { useOwnCopy(); };
  handlers.agreed = [this] { finish(version_); };
  handlers.declined = [this] { finish(std::nullopt); };
  handlers.broken = [this, broken = std::move(broken)](const std::string& why) {
    web_.reset();
    answer_ = nullptr;
    if (auto told = broken) told(why);
  };
  web_ = over.openSheet(wiring(), std::move(handlers));
  if (web_) web_->load(Service::address() + "/terms", termsTimeout);
}

void AgreementWindow::received(const std::string& body) {
  if (!web_) return;
  auto message = nlohmann::json::parse(body, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return;
  auto whole = [&](const char* key) -> std::optional<std::int64_t> {
    auto found = message.find(key);
    if (found == message.end() || !found->is_number_integer()) return std::nullopt;
    return found->get<std::int64_t>();
  };
  const std::int64_t done = whole("done").value_or(0);
  const auto of = whole("of");
  if (!of || *of == 0) return useOwnCopy();
  auto version = message.find("version");
  version_ = version != message.end() && version->is_string() ? version->get<std::string>() : "";
  web_->setAgreeEnabled(done == *of);
  web_->setCount(std::to_string(done) + " of " + std::to_string(*of) + " boxes ticked");
}

bool AgreementWindow::decide(const Platform::Navigation& navigation) {
  if (!navigation.clickedLink || navigation.url.empty()) return true;
  ui_.open(linkTarget(navigation.url));
  return false;
}

void AgreementWindow::useOwnCopy() {
  if (onOwnCopy_) return finish("");
  auto file = ownCopy();
  if (!file) return finish("");
  onOwnCopy_ = true;
  if (web_) web_->loadFile(*file);
}

void AgreementWindow::finish(std::optional<std::string> result) {
  web_.reset();
  Answer answer = std::move(answer_);
  answer_ = nullptr;
  if (answer) answer(std::move(result));
}
