// The test program of both builds. Every test gets a private, empty program
// folder, so that what the code under test writes beside "its" executable
// (log, settings, data folder) never meets another test's, also when many
// tests run in one process (cmake/gtest-batch).

#include <gtest/gtest.h>

#include <memory>

#include "platform/facility.h"
#include "test_support.h"

namespace orvalinth::test {
namespace {

TestProcess* g_test_process = nullptr;

// After each test: the program folder emptied and the process as it started.
class FreshProgramFolder final : public ::testing::EmptyTestEventListener {
 public:
  explicit FreshProgramFolder(std::u16string folder) : folder_(std::move(folder)) {}
  void OnTestEnd(const ::testing::TestInfo&) override {
    g_test_process->Reset();
    RemoveTree(folder_);
    platform::FileSystem::Real().CreateFolder(folder_.substr(0, folder_.size() - 1));
  }

 private:
  std::u16string folder_;
};

}  // namespace

TestProcess& test_process() { return *g_test_process; }

}  // namespace orvalinth::test

int main(int argc, char** argv) {
  using namespace orvalinth;
  ::testing::InitGoogleTest(&argc, argv);
  auto folder = std::make_unique<test::TempFolder>();
  test::TestProcess process(folder->path());
  test::g_test_process = &process;
  platform::ScopedFacility<platform::Process> use(process);
  ::testing::UnitTest::GetInstance()->listeners().Append(new test::FreshProgramFolder(folder->path()));
  const int result = RUN_ALL_TESTS();
  return result;
}
