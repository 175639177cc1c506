#pragma once
// What an event loop holds: the Qt application, plain or with widgets. Seen by the two
// libraries that make one.
#include <QCoreApplication>
#include <memory>

#include "platform/Queue.h"

namespace Platform {

struct EventLoop::Impl {
  std::unique_ptr<QCoreApplication> app;
};

}  // namespace Platform
