// The fault on purpose exists only in the test build of the service: the
// product never contains its trigger.

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace orvalinth {
namespace {

// The trigger as the executables would hold it: UTF-16LE (the scan compares
// wide names) and, in case it were ever written as 8-bit text, plain.
std::string Utf16Le(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

const std::string kTrigger = "orvalinth-fault-here";

// A path of the build (a host path) as the tests of both builds open it.
std::u16string BuildPath(std::string path) {
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;  // drive Z: is the host's root, under Wine as on POSIX
  }
  return test::W(path);
}

TEST(FaultBuild, TheProductDoesNotContainTheTrigger) {
  const std::string product = test::ReadFileBytes(test::ServiceExecutable());
  ASSERT_GT(product.size(), 100000u);
  EXPECT_EQ(product.find(Utf16Le(kTrigger)), std::string::npos);
  EXPECT_EQ(product.find(kTrigger), std::string::npos);
}

TEST(FaultBuild, TheTestBuildDoes) {
  // So that the check above looks for what a fault build really holds.
  const std::string fault_build = test::ReadFileBytes(BuildPath(ORVALINTH_FAULT_EXE));
  EXPECT_NE(fault_build.find(Utf16Le(kTrigger)), std::string::npos);
}

}  // namespace
}  // namespace orvalinth
