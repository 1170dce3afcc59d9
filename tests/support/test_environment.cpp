// Every test program finds the build and source folders in its environment;
// a value set by the caller wins.
#include <cstdlib>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    setenv("FLASHLOADER_BUILD_DIR", FLASHLOADER_BUILD_DIR_DEFAULT, 0);
    setenv("FLASHLOADER_SOURCE_DIR", FLASHLOADER_SOURCE_DIR_DEFAULT, 0);
  }
};

const TestEnvironment kTestEnvironment;

}  // namespace
