// The placement tests run sandboxed under a root of their own.
#include "support/Sandbox.h"

int main(int argc, char** argv) {
  return testing_support::sandboxedMain(argc, argv, nullptr, testing_support::Root::own);
}
