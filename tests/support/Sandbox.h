#pragma once
// The entry point of a test program that is also its own driver: run as "--drive …" it performs
// one operation for a test that cuts it short; otherwise each test process first moves into
// mount and process namespaces of its own (as root, where unshare is there), so that the disk
// images it attaches, and those its cut-short drivers leave attached, vanish with it, and every
// process it starts ends with it. Then the tests run with an event loop.
#include <filesystem>
#include <string>
#include <vector>

#include "support/Child.h"

namespace testing_support {

using Driver = int (*)(const std::vector<std::string>& args);
int sandboxedMain(int argc, char** argv, Driver driven = nullptr);

// Whether this test process runs in namespaces of its own.
bool inSandbox();

// This very program, and it run as the driver of one operation.
std::filesystem::path self();
Ran drive(const std::vector<std::string>& args, const Environment& environment = {},
          Input input = Input::none, double guard = 240);

}  // namespace testing_support
