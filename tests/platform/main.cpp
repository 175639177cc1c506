// The platform tests' own entry point: one widget application for the whole program, made
// before the tests run and gone before the process exits.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/QtUi.h"

int main(int argc, char** argv) {
  // Off screen unless told otherwise, also when CTest lists the tests.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  Platform::WidgetLoop loop(argc, argv);
  return RUN_ALL_TESTS();
}
