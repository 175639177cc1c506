#include "platform/descriptor.h"

#include <unistd.h>

namespace platform {

void Descriptor::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace platform
