#pragma once
// One widget application for a whole test program (offscreen under CTest).
#include <QApplication>

inline QApplication& application() {
  static int argc = 1;
  static char name[] = "platform_tests";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  return app;
}
