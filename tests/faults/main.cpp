// The fault tests run sandboxed, and the program is its own driver (see Driver.cpp).
#include "Faults.h"

int main(int argc, char** argv) {
  return testing_support::sandboxedMain(argc, argv, faults_testing::driven);
}
