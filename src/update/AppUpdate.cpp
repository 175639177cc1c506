#include "update/AppUpdate.h"

#include <nlohmann/json.hpp>

#include "platform/Bundle.h"
#include "platform/Http.h"
#include "setup/Service.h"
#include "text/Version.h"

namespace AppUpdate {
namespace {

constexpr double feedTimeout = 8.0;
constexpr std::size_t longestFeed = 1 << 20;

}  // namespace

const std::string& latestURL() {
  static const std::string url = Service::address() + "/app/latest";
  return url;
}

const std::string& downloadURL() {
  static const std::string url = Service::address() + "/app/download";
  return url;
}

std::string mine() {
  if (auto bundle = Platform::mainBundle()) {
    if (auto version = bundle->value("CFBundleShortVersionString")) return *version;
  }
  return "0";
}

std::optional<Published> readFeed(const std::string& body) {
  auto json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  std::string values[3];
  const char* keys[3] = {"version", "sha256", "file"};
  for (int i = 0; i < 3; ++i) {
    auto found = json.find(keys[i]);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    values[i] = found->get<std::string>();
  }
  return Published(values[0], values[1], values[2]);
}

void check(std::function<void(std::optional<Published>)> then) {
  Platform::Http::Request request{latestURL(), feedTimeout, longestFeed, false};
  Platform::Http::get(request, [then = std::move(then)](Platform::Http::Reply reply) {
    // Only the body counts: an error page is simply not a feed.
    if (!reply.body) return then(std::nullopt);
    auto entry = readFeed(*reply.body);
    if (entry && Text::newerVersion(entry->version(), mine())) return then(entry);
    then(std::nullopt);
  });
}

}  // namespace AppUpdate
