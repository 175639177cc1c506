#pragma once
// Quendrel's own updates: the feed on the web service and the version order.
#include <functional>
#include <optional>
#include <string>

namespace AppUpdate {

// One feed entry.
class Published {
 public:
  Published(std::string version, std::string sha256, std::string file)
      : version_(std::move(version)), sha256_(std::move(sha256)), file_(std::move(file)) {}
  const std::string& version() const { return version_; }
  const std::string& sha256() const { return sha256_; }
  const std::string& file() const { return file_; }

 private:
  std::string version_;
  std::string sha256_;
  std::string file_;
};

// The web service's base address ("https://host"): the bundle's QuendrelService value,
// else the one built in.
const std::string& service();
const std::string& latestURL();
const std::string& downloadURL();

// The running application's short version; "0" when it has none.
std::string mine();

// Whether dotted version `a` orders strictly after `b`.
bool newer(const std::string& a, const std::string& b);

// Reads one feed answer; the entry when it is well formed, whatever its version.
std::optional<Published> readFeed(const std::string& body);

// Asks the feed once; `then` gets the entry when it names a version newer than ours,
// else nothing. `then` runs on the HTTP session's thread.
void check(std::function<void(std::optional<Published>)> then);

}  // namespace AppUpdate
