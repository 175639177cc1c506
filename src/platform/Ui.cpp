#include "platform/Ui.h"

namespace Platform {

Ui::~Ui() = default;

std::unique_ptr<SetupView> Ui::makeSetupView() {
  return nullptr;
}

}  // namespace Platform
