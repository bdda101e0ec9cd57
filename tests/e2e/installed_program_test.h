#pragma once
// The fixture of the suites that install the real service in a private Wine
// prefix (one prefix a suite) and act as its console with the project's
// console library: each test gets a listening console and a fresh
// installation; the service is removed after each test and the suite.

#include <gtest/gtest.h>

#include <memory>

#include "e2e_support.h"
#include "installed_program.h"
#include "tools/console_link.h"

namespace orvalinth::e2e {

class InstalledProgramTest : public ::testing::Test {
 public:
  static void TearDownTestSuite() {
    if (prefix_ != nullptr && prefix_->ok()) InstalledProgram(*prefix_).RemoveService();
    delete prefix_;
    prefix_ = nullptr;
  }

 protected:
  // For the suite's SetUpTestSuite: the suite's prefix, named `name`.
  static void OpenPrefix(const char* name) {
    if (WindowsExecutable().empty()) return;
    prefix_ = new WinePrefix(name);
  }

  void SetUp() override {
    ASSERT_FALSE(WindowsExecutable().empty())
        << "no win64 OrvalinthSrv.exe: give --exe=PATH or set ORVALINTH_E2E_EXE";
    ASSERT_TRUE(prefix_->ok()) << prefix_->error();
    ASSERT_TRUE(console_.Listen("127.0.0.1", 0)) << console_.failure_text();
    program_ = std::make_unique<InstalledProgram>(*prefix_);
  }
  void TearDown() override {
    console_.Close();
    if (program_ != nullptr) program_->RemoveService();
  }

  // One suite runs at a time: its prefix, made by OpenPrefix.
  static inline WinePrefix* prefix_ = nullptr;
  tools::CXConsoleLink console_;
  std::unique_ptr<InstalledProgram> program_;
};

}  // namespace orvalinth::e2e
