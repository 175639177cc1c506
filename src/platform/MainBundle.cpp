#include "platform/Bundle.h"

namespace Platform {

std::optional<Bundle> mainBundle() {
  std::error_code error;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return bundleHolding(exe);
}

}  // namespace Platform
