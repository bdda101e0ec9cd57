#include "settings/scan_targets.h"

#include <gtest/gtest.h>

#include "settings_fixture.h"

namespace orvalinth {
namespace {

using L = std::vector<std::u16string>;

TEST(ScanTargets, ShortText) {
  struct Case {
    const char* text;
    SXScanTargets targets;  // registry, files, applications, full, removable disks, version information
  } cases[] = {
      {"files part.+ver, all regs", {L{u"*"}, L{u"C:\\Windows\\"}, L{}, 0, 0, 1}},
      {"full", {L{u"*"}, L{u"C:\\"}, L{u"*"}, 1, 1, 0}},
      {"full+ver", {L{}, L{}, L{}, 1, 0, 1}},
      {"", {L{}, L{}, L{}, 0, 1, 1}},
      {"all files, regs part., apps part.", {L{u"HKEY_USERS", u"*"}, L{u"*"}, L{u"startup"}, 0, 0, 0}},
      {"all files+ver, all apps", {L{}, L{u"*"}, L{u"*"}, 0, 0, 1}},
      // Version information marks the files; without files there is no mark.
      {"regs part.", {L{u"HKEY_USERS"}, L{}, L{}, 0, 0, 1}},
      {"files part.", {L{}, L{u"*", u"C:\\"}, L{}, 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanTargetsText(c.targets), c.text) << c.text;
}

class ScanTargetsOfSettings : public test::SettingsTest {};

TEST_F(ScanTargetsOfSettings, DescribeTheLoadedTargets) {
  LoadText(Text({"ScanAll:0", "AddExeVerInfo:1", "Registry:", "*", "", "Files:", "C:\\Windows\\", ""}));
  EXPECT_EQ(settings_.ScanTargetsText(), "files part.+ver, all regs");
  settings_.set_full_scan(1);
  EXPECT_EQ(settings_.ScanTargetsText(), "full+ver");
}

}  // namespace
}  // namespace orvalinth
