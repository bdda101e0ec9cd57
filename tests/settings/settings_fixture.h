#pragma once
// What the settings and catalog tests share: a private program folder with
// its data folder, a machine named "PC-01", and helpers for settings files.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "host/log.h"
#include "host/paths.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "settings/client_settings.h"
#include "test_support.h"

namespace orvalinth::testing {

// A machine whose name is fixed by the test (or cannot be read at all).
class FakeSystemInfo final : public platform::SystemInfo {
 public:
  bool ComputerName(std::string* name) override {
    if (!readable) return false;
    *name = computer_name;
    return true;
  }
  bool UserName(std::u16string* name) override {
    *name = u"tester";
    return true;
  }
  uint32_t NativeArchitecture() override { return architecture; }
  bool Memory(uint64_t*, uint64_t*) override { return false; }

  std::string computer_name = "PC-01";
  bool readable = true;
  uint32_t architecture = 9;  // AMD64
};

class SettingsTest : public ::testing::Test {
 public:
  // Lines, each ended by the platform's text line end.
  static std::string Text(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + std::string(platform::kNewline);
    return text;
  }

 protected:
  SettingsTest() : use_system_(system_) {
    // The process log keeps the path of its first use: fix it to the test
    // process's own folder before the executable moves into this test's.
    ProcessLog();
    test_process().set_executable(dir_ / u"OrvalinthSrv.exe");
    platform::Files::Get().CreateFolder(DataFolder());
  }
  ~SettingsTest() override { test_process().set_executable(std::u16string()); }

  std::u16string Ini() const { return dir_ / u"OrvalinthSrv.ini"; }
  // Writes the settings file and loads it into settings_.
  void LoadText(const std::string& bytes) {
    WriteFileBytes(Ini(), bytes);
    ASSERT_EQ(settings_.Load(Ini()), 1);
  }
  static void MakeSnapshot(int number) { WriteFileBytes(SnapshotPath(number), "snapshot bytes"); }
  static bool SnapshotExists(int number) { return FileExists(SnapshotPath(number)); }
  static std::string LogText() { return ReadFileBytes(ProcessLog().path()); }

  TempFolder dir_;
  FakeSystemInfo system_;
  platform::ScopedFacility<platform::SystemInfo> use_system_;
  CXClientSettings settings_;
};

}  // namespace orvalinth::testing
