#include "support/MainBundle.h"

#include <mutex>
#include <optional>

#include "platform/Bundle.h"

namespace {

std::mutex pretendMutex;
std::optional<std::filesystem::path> pretended;

}  // namespace

namespace testing_support {

void pretendMainBundle(const std::filesystem::path& location) {
  std::lock_guard lock(pretendMutex);
  pretended = location;
}

}  // namespace testing_support

namespace Platform {

// Linked instead of the platform's own (this file is pulled in by pretendMainBundle); it
// answers as the platform's does until a bundle is pretended.
std::optional<Bundle> mainBundle() {
  {
    std::lock_guard lock(pretendMutex);
    if (pretended) return Bundle{*pretended};
  }
  return bundleOfThisProcess();
}

}  // namespace Platform
