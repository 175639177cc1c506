#include "Faults.h"

namespace faults_testing {

std::function<bool(std::size_t, const std::string&)> changesAndEveryNthCopy(std::size_t every) {
  return [every, made = std::size_t{0}](std::size_t, const std::string& step) mutable {
    const bool copying = step.rfind("open ", 0) == 0 || step.rfind("mkdir ", 0) == 0 ||
                         step.rfind("symlink ", 0) == 0;
    return !copying || made++ % every == every - 1;
  };
}

}  // namespace faults_testing
