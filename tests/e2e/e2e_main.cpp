// The end-to-end harness: the real OrvalinthSrv.exe under private Wine
// prefixes, and the host build's daemon mode. The win64 executable comes from
// the option --exe=PATH or the environment variable ORVALINTH_E2E_EXE.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "e2e_support.h"
#include "wine_prefix.h"

namespace orvalinth::e2e {
int HoldOpen(const char* what);  // host_apps_test.cpp: the child that test scans
}  // namespace orvalinth::e2e

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--hold-open=", 12) == 0) return orvalinth::e2e::HoldOpen(argv[1] + 12);
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--exe=", 6) == 0) orvalinth::e2e::SetWindowsExecutable(argv[i] + 6);
  }
  if (orvalinth::e2e::WindowsExecutable().empty()) {
    if (const char* exe = std::getenv("ORVALINTH_E2E_EXE")) orvalinth::e2e::SetWindowsExecutable(exe);
  }
  // Whatever happens to a test, no Wine server of ours stays behind.
  std::atexit(orvalinth::e2e::CloseAllPrefixes);
  return RUN_ALL_TESTS();
}
