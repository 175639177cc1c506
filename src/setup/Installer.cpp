#include "setup/Installer.h"

namespace Installer {

bool running = false;

}  // namespace Installer
