#include "platform/Bundle.h"

namespace Platform {

std::optional<Bundle> mainBundle() {
  return bundleOfThisProcess();
}

}  // namespace Platform
