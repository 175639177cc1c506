#include "Faults.h"

#include "platform/Mounts.h"

namespace faults_testing {

std::function<bool(std::size_t, const std::string&)> changesAndEveryNthCopy(std::size_t every) {
  return [every, made = std::size_t{0}](std::size_t, const std::string& step) mutable {
    const bool copying = step.rfind("open ", 0) == 0 || step.rfind("mkdir ", 0) == 0 ||
                         step.rfind("symlink ", 0) == 0;
    return !copying || made++ % every == every - 1;
  };
}

bool mountedBelow(const fs::path& folder) {
  std::error_code error;
  const std::string inside = fs::weakly_canonical(folder, error).string();
  for (const auto& mount : Platform::mounts()) {
    const std::string point = mount.mountPoint.string();
    if (point == inside || point.rfind(inside + "/", 0) == 0) return true;
  }
  return false;
}

}  // namespace faults_testing
