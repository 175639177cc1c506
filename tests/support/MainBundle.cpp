#include "support/MainBundle.h"

#include <mutex>
#include <optional>

#include "platform/Bundle.h"

namespace {

std::mutex pretendMutex;
std::optional<std::filesystem::path> pretended;

}  // namespace

void testing_support::pretendMainBundle(const std::filesystem::path& location) {
  std::lock_guard lock(pretendMutex);
  pretended = location;
}

// Linked instead of the platform's own (this file is pulled in by pretendMainBundle); it
// answers as the platform's does until a bundle is pretended.
std::optional<Platform::Bundle> Platform::mainBundle() {
  std::lock_guard lock(pretendMutex);
  return pretended ? Bundle{*pretended} : bundleOfThisProcess();
}
