#pragma once
// The fixture of the suites that drive the real service under Wine through
// one ServiceLink a suite (see service_link.h): the suite's SetUpTestSuite
// opens it by name, each test starts with the console linked, and the end of
// the suite stops and deletes the service and ends the prefix's server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/strings.h"
#include "host_process.h"
#include "service_link.h"
#include "tools/console_link.h"
#include "tools/snapshot_download.h"

namespace orvalinth::e2e {

class ServiceLinkTest : public ::testing::Test {
 public:
  static void TearDownTestSuite() {
    delete service_;  // stops and deletes the service, ends the prefix's server
    service_ = nullptr;
  }

 protected:
  // For the suite's SetUpTestSuite: the suite's service, its prefix named `name`.
  static void OpenService(const char* name) { service_ = new ServiceLink(name); }

  // Unless the link is up already: the settings point at the console, the
  // service (re)starts and the console accepts it.
  void SetUp() override {
    ASSERT_TRUE(service_->ok()) << service_->error();
    ASSERT_TRUE(service_->Connect()) << service_->error();
  }
  static WinePrefix& Prefix() { return service_->prefix(); }
  static tools::CXConsoleLink& Console() { return service_->console(); }

  // Downloads the snapshot `number` as the console does, into a folder of
  // its own that is removed afterwards; its bytes.
  static void Download(int number, std::string* bytes) {
    namespace fs = std::filesystem;
    const std::string downloads = std::string(ORVALINTH_E2E_WORK) + "/downloads-" + std::to_string(getpid());
    fs::remove_all(downloads);
    fs::create_directories(downloads);
    tools::CXSnapshotDownload download(Console(), nullptr);
    ASSERT_TRUE(download.Run(number, Widen(downloads))) << download.error();
    *bytes = ReadWholeFile(downloads + "/" + Format("snapshot%03d.snp", number));
    fs::remove_all(downloads);
  }

  // One suite runs at a time: its service, made by OpenService.
  static inline ServiceLink* service_ = nullptr;
};

}  // namespace orvalinth::e2e
