// The test program of both builds. Every test process gets a private program
// folder, so that what the code under test writes beside "its" executable
// (log, settings, data folder) never meets another test's.

#include <gtest/gtest.h>

#include <memory>

#include "platform/facility.h"
#include "test_support.h"

namespace orvalinth::testing {
namespace {
TestProcess* g_test_process = nullptr;
}  // namespace

TestProcess& test_process() { return *g_test_process; }

}  // namespace orvalinth::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto folder = std::make_unique<orvalinth::testing::TempFolder>();
  orvalinth::testing::TestProcess process(folder->path());
  orvalinth::testing::g_test_process = &process;
  orvalinth::platform::ScopedFacility<orvalinth::platform::Process> use(process);
  const int result = RUN_ALL_TESTS();
  return result;
}
