// The platform tests' own entry point: one widget application for the whole program, made
// before the tests run and gone before the process exits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/Bundle.h"
#include "platform/QtUi.h"

int main(int argc, char** argv) {
  // A copy of this program inside a bundle says which bundle it takes for its own.
  if (argc == 2 && std::string(argv[1]) == "--say-main-bundle") {
    auto bundle = Platform::mainBundle();
    std::cout << (bundle ? bundle->location.string() : "") << std::endl;
    return 0;
  }
  // Off screen unless told otherwise, also when CTest lists the tests.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  Platform::WidgetLoop loop(argc, argv);
  return RUN_ALL_TESTS();
}
