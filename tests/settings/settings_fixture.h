#pragma once
// What the settings and catalog tests share: a private program folder with
// its data folder, a machine named "PC-01", and helpers for settings files.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "base/log.h"
#include "base/paths.h"
#include "platform/console.h"
#include "platform/files.h"
#include "fakes/fake_machine.h"
#include "settings/client_settings.h"
#include "test_support.h"

namespace orvalinth::test {

class SettingsTest : public ::testing::Test {
 public:
  // Lines, each ended by the platform's text line end.
  static std::string Text(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + std::string(platform::kNewline);
    return text;
  }

 protected:
  SettingsTest() {
    // The process log keeps the path of its first use: fix it to the test
    // process's own folder before the executable moves into this test's.
    ProcessLog();
    test_process().set_executable(dir_ / u"OrvalinthSrv.exe");
    platform::FileSystem::Get().CreateFolder(DataFolder());
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
  FakeMachine system_;  // "PC-01"
  CXClientSettings settings_;
};

}  // namespace orvalinth::test
