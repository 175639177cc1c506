// The placement tests' own entry point: each test process first moves into a sandbox of its
// own (see Sandbox.h), then runs its tests with an event loop for the flows that turn it.
#include <gtest/gtest.h>

#include "placement/Copies.h"
#include "placement/Sandbox.h"
#include "platform/Queue.h"

namespace {
Platform::EventLoop* theLoop = nullptr;
}

void placement_testing::reviveEventLoop() {
  Platform::EventLoop::quit(0);
  theLoop->run();
}

int main(int argc, char** argv) {
  placement_testing::enterSandbox(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  Platform::EventLoop loop(argc, argv);
  theLoop = &loop;
  return RUN_ALL_TESTS();
}
