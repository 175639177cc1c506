#include "update/AppUpdate.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "app/Built.h"
#include "platform/bundle.h"
#include "platform/http.h"
#include "text/Text.h"

namespace AppUpdate {
namespace {

constexpr double feedTimeout = 8.0;
constexpr std::size_t longestFeed = 1 << 20;

std::vector<std::int64_t> pieces(const std::string& version) {
  std::vector<std::int64_t> numbers;
  size_t start = 0;
  while (start <= version.size()) {
    size_t end = version.find('.', start);
    if (end == std::string::npos) end = version.size();
    if (end > start) {
      numbers.push_back(text::wholeNumber(std::string_view(version).substr(start, end - start))
                            .value_or(0));
    }
    start = end + 1;
  }
  return numbers;
}

}  // namespace

const std::string& service() {
  static const std::string address = [] {
    if (auto bundle = platform::mainBundle()) {
      if (auto value = bundle->value("QuendrelService"); value && !value->empty()) {
        std::string v = *value;
        while (!v.empty() && v.back() == '/') v.pop_back();
        return v;
      }
    }
    return std::string(built::service);
  }();
  return address;
}

const std::string& latestURL() {
  static const std::string url = service() + "/app/latest";
  return url;
}

const std::string& downloadURL() {
  static const std::string url = service() + "/app/download";
  return url;
}

std::string mine() {
  if (auto bundle = platform::mainBundle()) {
    if (auto version = bundle->value("CFBundleShortVersionString")) return *version;
  }
  return "0";
}

bool newer(const std::string& a, const std::string& b) {
  auto left = pieces(a);
  auto right = pieces(b);
  size_t n = std::max(left.size(), right.size());
  for (size_t i = 0; i < n; ++i) {
    std::int64_t x = i < left.size() ? left[i] : 0;
    std::int64_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x > y;
  }
  return false;
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
  platform::http::Request request{latestURL(), feedTimeout, longestFeed, false};
  platform::http::get(request, [then = std::move(then)](platform::http::Reply reply) {
    // Only the body counts: an error page is simply not a feed.
    if (!reply.body) return then(std::nullopt);
    auto entry = readFeed(*reply.body);
    if (entry && newer(entry->version(), mine())) return then(entry);
    then(std::nullopt);
  });
}

}  // namespace AppUpdate
