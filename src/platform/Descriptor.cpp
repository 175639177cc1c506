#include "platform/Descriptor.h"

#include <unistd.h>

namespace Platform {

void Descriptor::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace Platform
