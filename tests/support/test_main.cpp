// Test entry: an F message or exit_with throws instead of ending the test program.
#include <gtest/gtest.h>

#include "commandline/messages.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  msg::setExitHandler([](int status) { throw ExitCalled{status}; });
  return RUN_ALL_TESTS();
}
