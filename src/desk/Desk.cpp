#include "desk/Desk.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <semaphore>

#include "desk/Paths.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "text/Text.h"

namespace fs = std::filesystem;

namespace Desk {
namespace {

constexpr double requestTimeout = 2.0;
constexpr auto busyWait = std::chrono::milliseconds(3000);
// The in-use answer is a few dozen bytes; anything longer is not one.
constexpr std::size_t longestAnswer = 64 * 1024;

// The address of a question to the desk; nothing when the port cannot be one, so that
// such a desk counts as not answering rather than being asked somewhere else.
std::optional<std::string> address(const char* path) {
  const std::int64_t port = Paths::port();
  if (port < 1 || port > 65535) return std::nullopt;
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// White space ends the version's word: a line break, a tab and the like never reach the menu.
constexpr const char* whiteSpace = " \t\n\v\f\r";

// The first `count` characters of UTF-8 text, not bytes.
std::string firstCharacters(const std::string& word, size_t count) {
  size_t i = 0;
  for (size_t taken = 0; taken < count && i < word.size(); ++taken) {
    i += 1;
    while (i < word.size() && (static_cast<unsigned char>(word[i]) & 0xC0) == 0x80) ++i;
  }
  return word.substr(0, i);
}

// Where a late answer is written after its asker has stopped waiting.
struct Cell {
  std::mutex mutex;
  Busy answer{Busy::Kind::unknown, {}};
  std::binary_semaphore signal{0};
};

}  // namespace

void look(std::function<void(DeskState)> then) {
  std::error_code error;
  if (!fs::exists(Paths::install(), error)) return then(DeskState::notInstalled());
  if (fs::exists(Paths::settingUp(), error)) return then(DeskState::unfinished());
  auto url = address("/relay-info");
  if (!url) return then(DeskState::installedNotRunning());
  Platform::Http::Request request{*url, requestTimeout, 0, true, true};
  Platform::Http::get(request, [then = std::move(then)](Platform::Http::Reply reply) {
    bool answered = reply.failure == Platform::Http::Failure::none &&
                    (reply.status == 200 || reply.status == 404);
    then(answered ? DeskState::answering(installedVersion()) : DeskState::installedNotRunning());
  });
}

Busy readInUse(const std::string& body) {
  auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return {Busy::Kind::unknown, {}};
  auto inUse = json.find("in_use");
  if (inUse == json.end() || !inUse->is_boolean()) return {Busy::Kind::unknown, {}};
  if (!inUse->get<bool>()) return {Busy::Kind::idle, {}};
  auto why = json.find("why");
  return {Busy::Kind::busy, why != json.end() && why->is_string() ? why->get<std::string>() : ""};
}

Busy busy() {
  auto url = address("/in-use");
  if (!url) return {Busy::Kind::unknown, {}};
  auto cell = std::make_shared<Cell>();
  Platform::Http::Request request{*url, requestTimeout, longestAnswer, false, true};
  Platform::Http::get(request, [cell](Platform::Http::Reply reply) {
    Busy answer{Busy::Kind::unknown, {}};
    if (reply.failure == Platform::Http::Failure::refused) {
      answer = {Busy::Kind::notRunning, {}};
    } else if (reply.failure == Platform::Http::Failure::none && reply.status == 200 &&
               reply.body) {
      answer = readInUse(*reply.body);
    }
    {
      std::lock_guard lock(cell->mutex);
      cell->answer = answer;
    }
    cell->signal.release();
  });
  cell->signal.try_acquire_for(busyWait);
  std::lock_guard lock(cell->mutex);
  return cell->answer;
}

std::string installedVersion() {
  auto bytes = Platform::readFile(Paths::install() / "VERSION");
  if (!bytes || !Text::isUtf8(*bytes)) return {};
  size_t start = bytes->find_first_not_of(whiteSpace);
  if (start == std::string::npos) return {};
  size_t end = bytes->find_first_of(whiteSpace, start);
  std::string word =
      bytes->substr(start, end == std::string::npos ? std::string::npos : end - start);
  return firstCharacters(word, 7);
}

}  // namespace Desk
