#include "process_test_support.h"

namespace tervane::testing {

Path SleeperBuildPath() { return ExecutableDir() + SleeperFileName(); }

}  // namespace tervane::testing
