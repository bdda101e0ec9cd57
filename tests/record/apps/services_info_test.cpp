// CXServicesInfo over the emulated service manager, filled by the test.

#include "record/apps/services_info.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/service_emulation.h"
#include "base/strings.h"
#include "test_support.h"
#include "fakes/apps_fakes.h"
#include "record/apps/collector_run.h"

namespace orvalinth {
namespace {

using test::N;

class ServicesInfo : public ::testing::Test {
 protected:
  ServicesInfo() { test::WriteFileBytes(dir_ / u"svc.exe", "MZ service"); }

  void Install(const std::u16string& name, const std::u16string& display, uint32_t type, uint32_t start,
               const std::u16string& image, uint32_t state = platform::kServiceStopped) {
    platform::ServiceConfig config;
    config.name = name;
    config.display_name = display;
    config.type = type;
    config.start_type = start;
    config.binary_path = image;
    manager_.Install(config, state);
  }

  void Collect() {
    ASSERT_TRUE(run_.Run(services_info_));
    EXPECT_EQ(run_.category(kAppServices).child_offset, 0);
    EXPECT_EQ(run_.category(kAppDrivers).child_offset, 0);
    services_ = run_.Items(kAppServices);
    drivers_ = run_.Items(kAppDrivers);
  }

  // "name|source|state|path|arguments|description|file" of each item.
  static std::vector<std::string> Lines(const std::vector<SXReadItem>& items) {
    std::vector<std::string> lines;
    for (const SXReadItem& i : items) {
      const std::string file = i.file_missing ? "missing" : (i.file ? Format("%llu", (unsigned long long)i.file->size) : "none");
      lines.push_back(N(i.name) + Format("|%u|%u|", i.source, i.state) + N(i.path) + "|" + N(i.arguments) + "|" +
                      N(i.description) + "|" + file);
    }
    return lines;
  }

  test::TempFolder dir_;
  platform::EmulatedServiceManager manager_;
  platform::ScopedFacility<platform::ServiceManager> use_manager_{manager_};
  test::SpyPathLookup lookup_;
  platform::ScopedFacility<platform::PathLookup> use_lookup_{lookup_};
  test::CollectorRun run_;
  CXServicesInfo services_info_;
  std::vector<SXReadItem> services_, drivers_;
};

TEST_F(ServicesInfo, ServicesAndDriversWithTheirConfigurations) {
  const std::u16string svc = dir_ / u"svc.exe";
  Install(u"Alpha", u"Alpha Service", platform::kServiceWin32OwnProcess, 2, u"\"" + svc + u"\" -k net",
          platform::kServiceRunning);
  manager_.WriteDescription(u"Alpha", u"Does \u0100lpha things");
  Install(u"Gone", u"Gone", platform::kServiceWin32ShareProcess, 3, dir_ / u"gone.exe -x");
  Install(u"Locked", u"Locked", platform::kServiceWin32OwnProcess | 0x100, 4, svc);
  platform::EmulatedServiceManager::Behaviour locked;
  locked.config_error = platform::kErrorAccessDenied;
  manager_.SetBehaviour(u"Locked", locked);
  Install(u"NoImage", u"No Image", platform::kServiceWin32OwnProcess, 3, u"");
  // Drivers: empty image paths looked for as "<name>.sys".
  Install(u"beep", u"Beep", platform::kServiceKernelDriver, 1, u"", platform::kServiceRunning);
  lookup_.answers[u"Beep.sys"] = svc;
  Install(u"nulldrv", u"Null Driver", platform::kServiceFileSystemDriver, 0, u"");
  Install(u"lostdrv", u"lostdrv", platform::kServiceKernelDriver, 3, u"");  // its file is nowhere
  // A configuration larger than the first buffer.
  const std::u16string long_image = u"\"" + svc + u"\" " + std::u16string(6000, u'x');
  Install(u"Long", u"Long", platform::kServiceWin32OwnProcess, 3, long_image);

  Collect();
  const std::string s = N(svc);
  EXPECT_EQ(Lines(services_),
            (std::vector<std::string>{
                "Alpha Service|2|4|" + s + "|-k net|Does \xC4\x80lpha things|10",
                "Gone|3|1|" + N(dir_ / u"gone.exe -x") + "|||missing",
                "Locked|5|1||||0",  // unread: its file record is there, not marked missing
                "Long|3|1|" + s + "|" + std::string(6000, 'x') + "||10",
                "No Image|3|1||||missing",
            }));
  EXPECT_EQ(Lines(drivers_), (std::vector<std::string>{"Beep|1|4|" + s + "|||10", "lostdrv|3|1||||missing",
                                                      "Null Driver|0|1||||missing"}));
  // "Beep" equals "beep" but for case: looked up once. "Null Driver" is
  // looked up by both names.
  const auto count = [&](const std::u16string& name) {
    return std::count(lookup_.searched.begin(), lookup_.searched.end(), name);
  };
  EXPECT_EQ(count(u"Beep.sys"), 1);
  EXPECT_EQ(count(u"beep.sys"), 0);
  EXPECT_GE(count(u"Null Driver.sys"), 1);
  EXPECT_GE(count(u"nulldrv.sys"), 1);
  EXPECT_EQ(count(u"lostdrv.sys"), 1) << "one name, one lookup";
  EXPECT_EQ(run_.entries(), 8);
  // The one work buffer grew once, for the long configuration.
  EXPECT_GT(services_info_.buffer_size(), CXServicesInfo::kFirstBufferSize);
  EXPECT_LT(services_info_.buffer_size(), 2 * CXServicesInfo::kFirstBufferSize);
}

TEST_F(ServicesInfo, AStopHalfwayKeepsTheItemsMadeSoFar) {
  // The list comes by name: services and drivers in turn. The stop is seen
  // after the third entry, so each category holds part of its entries.
  for (const char16_t* name : {u"a", u"c", u"e"}) {
    Install(name, name, platform::kServiceWin32OwnProcess, 3, dir_ / u"svc.exe");
  }
  for (const char16_t* name : {u"b", u"d"}) {
    Install(name, name, platform::kServiceKernelDriver, 1, u"\\SystemRoot\\x.sys");
  }
  test::OpenWatchingServiceManager watching(manager_, [this](int opened) {
    if (opened == 2) run_.RequestStop();
  });
  platform::ScopedFacility<platform::ServiceManager> use_watching(watching);
  Collect();
  ASSERT_EQ(services_.size(), 2u);
  EXPECT_EQ(N(services_[0].name), "a");
  EXPECT_EQ(N(services_[1].name), "c");
  ASSERT_EQ(drivers_.size(), 1u);
  EXPECT_EQ(N(drivers_[0].name), "b");
}

TEST_F(ServicesInfo, NoListLeavesBothCategoriesEmpty) {
  Install(u"a", u"a", platform::kServiceWin32OwnProcess, 3, dir_ / u"svc.exe");
  manager_.SetGrantedRights(platform::kScManagerConnect, platform::kServiceAllAccess);  // no enumeration
  Collect();
  EXPECT_TRUE(services_.empty());
  EXPECT_EQ(run_.category(kAppServices).items_offset, 0);
  EXPECT_EQ(run_.entries(), 0);
}

}  // namespace
}  // namespace orvalinth
