// The emulated service manager answers as the real one does: states, rights
// and error codes.

#include "platform/service_emulation.h"

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace orvalinth::platform {
namespace {

class ServiceEmulationTest : public ::testing::Test {
 protected:
  ServiceEmulationTest() { EXPECT_TRUE(manager_.OpenManager(kScManagerAllAccess, &database_)); }

  static ServiceConfig Config(const std::u16string& name) {
    ServiceConfig config;
    config.name = name;
    config.display_name = name + u" display";
    config.binary_path = u"C:\\x\\" + name + u".exe";
    return config;
  }
  std::unique_ptr<Service> Create(const std::u16string& name, uint32_t access = kServiceAllAccess) {
    std::unique_ptr<Service> service;
    EXPECT_TRUE(database_->Create(Config(name), access, &service)) << LastError();
    return service;
  }
  // The error code of a failed call; 0 when it succeeded.
  static uint32_t Code(bool ok) { return ok ? 0 : LastError(); }

  EmulatedServiceManager manager_;
  std::unique_ptr<ServiceDatabase> database_;
};

TEST_F(ServiceEmulationTest, ErrorCodes) {
  std::unique_ptr<Service> service = Create(u"Svc");
  std::unique_ptr<Service> other;
  ServiceStatus status;
  EXPECT_EQ(Code(database_->Create(Config(u"SVC"), kServiceAllAccess, &other)), 1073u);  // names ignore case
  EXPECT_EQ(Code(database_->Open(u"none", kServiceAllAccess, &other)), 1060u);
  EXPECT_EQ(Code(service->Control(kServiceControlStop, &status)), 1062u);  // not running
  EXPECT_EQ(status.state, kServiceStopped);
  EXPECT_EQ(Code(service->Control(kServiceControlShutdown, &status)), 87u);  // only the system sends it
  EXPECT_EQ(Code(service->Start()), 0u);
  EXPECT_EQ(Code(service->Start()), 1056u);
  // Start pending: the simulated service does not take a stop yet.
  EXPECT_EQ(Code(service->Control(kServiceControlStop, &status)), 1061u);
  EXPECT_EQ(Code(service->QueryStatus(&status)), 0u);
  EXPECT_EQ(status.state, kServiceStartPending);
  EXPECT_NE(status.process_id, 0u);
  EXPECT_EQ(Code(service->QueryStatus(&status)), 0u);
  EXPECT_EQ(status.state, kServiceRunning);
  EXPECT_EQ(status.controls_accepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(Code(service->Delete()), 0u);
  EXPECT_EQ(Code(service->Delete()), 1072u);
  EXPECT_EQ(Code(database_->Create(Config(u"Svc"), kServiceAllAccess, &other)), 1072u);
  EXPECT_EQ(Code(service->Control(kServiceControlStop, &status)), 0u);
  EXPECT_EQ(status.state, kServiceStopPending);
  EXPECT_EQ(Code(service->Start()), 1072u);
  EXPECT_EQ(Code(service->QueryStatus(&status)), 0u);
  EXPECT_EQ(Code(service->QueryStatus(&status)), 0u);
  EXPECT_EQ(status.state, kServiceStopped);
  EXPECT_EQ(status.process_id, 0u);
  // Stopped and marked: it goes with its last handle.
  EXPECT_TRUE(manager_.Exists(u"svc"));
  service.reset();
  EXPECT_FALSE(manager_.Exists(u"svc"));
  EXPECT_EQ(Code(manager_.RunDispatcher("Svc", nullptr)), 1063u);
  EXPECT_EQ(Code(manager_.WriteDescription(u"Svc", u"text")), 2u);
  EXPECT_EQ(Code(database_->Create(Config(u"a\\b"), kServiceAllAccess, &other)), 123u);
}

TEST_F(ServiceEmulationTest, RightsAreChecked) {
  std::unique_ptr<Service> query_only = Create(u"Svc", kServiceQueryStatus);
  ServiceStatus status;
  EXPECT_EQ(Code(query_only->Start()), 5u);
  EXPECT_EQ(Code(query_only->Delete()), 5u);
  EXPECT_EQ(Code(query_only->Control(kServiceControlStop, &status)), 5u);
  EXPECT_EQ(Code(query_only->QueryStatus(&status)), 0u);

  // A user who may connect and query, nothing more.
  manager_.SetGrantedRights(kScManagerConnect, kServiceQueryStatus);
  std::unique_ptr<ServiceDatabase> user;
  std::unique_ptr<Service> service;
  EXPECT_EQ(Code(manager_.OpenManager(kScManagerCreateService, &user)), 5u);
  ASSERT_EQ(Code(manager_.OpenManager(kScManagerConnect, &user)), 0u);
  EXPECT_EQ(Code(user->Create(Config(u"New"), kServiceAllAccess, &service)), 5u);
  EXPECT_EQ(Code(user->Open(u"Svc", kServiceStart | kServiceQueryStatus, &service)), 5u);
  EXPECT_EQ(Code(user->Open(u"Svc", kServiceQueryStatus, &service)), 0u);
}

TEST_F(ServiceEmulationTest, BehaviourOfASimulatedService) {
  EmulatedServiceManager::Behaviour behaviour;
  behaviour.start_pending_queries = 0;
  behaviour.stop_pending_queries = 0;
  manager_.SetBehaviour(u"Svc", behaviour);
  std::unique_ptr<Service> service = Create(u"Svc");
  ServiceStatus status;
  ASSERT_TRUE(service->Start());
  EXPECT_TRUE(manager_.WaitForState(u"Svc", kServiceRunning, 0));  // no pending query at all
  ASSERT_TRUE(service->Control(kServiceControlStop, &status));
  EXPECT_EQ(status.state, kServiceStopped);
  EXPECT_EQ(manager_.Controls(u"SVC"), std::vector<uint32_t>{kServiceControlStop});

  behaviour.fails_to_start = true;
  manager_.SetBehaviour(u"Svc", behaviour);
  ASSERT_TRUE(service->Start());
  ASSERT_TRUE(service->QueryStatus(&status));
  EXPECT_EQ(status.state, kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, 1067u);
}

TEST_F(ServiceEmulationTest, ConfigAndDescriptionAreKept) {
  ServiceConfig config = Config(u"Svc");
  config.dependencies = {u"Tcpip", u"Afd"};
  config.account = u"NT AUTHORITY\\LocalService";
  std::unique_ptr<Service> service;
  ASSERT_TRUE(database_->Create(config, kServiceAllAccess, &service));
  ASSERT_TRUE(manager_.WriteDescription(u"svc", u"what it does"));
  ServiceConfig kept;
  ASSERT_TRUE(manager_.Config(u"Svc", &kept));
  EXPECT_EQ(kept.dependencies, config.dependencies);
  EXPECT_EQ(kept.account, config.account);
  EXPECT_EQ(kept.binary_path, u"C:\\x\\Svc.exe");
  std::u16string description;
  ASSERT_TRUE(manager_.Description(u"Svc", &description));
  EXPECT_EQ(description, u"what it does");
}

TEST_F(ServiceEmulationTest, TheListAndTheConfigurationQueries) {
  ServiceConfig driver = Config(u"beep");
  driver.type = kServiceKernelDriver;
  driver.binary_path.clear();  // as the system's set-up may leave a driver
  manager_.Install(driver, kServiceRunning);
  std::unique_ptr<Service> service = Create(u"Alpha");
  ASSERT_TRUE(manager_.WriteDescription(u"Alpha", u"first"));
  std::vector<ServiceEntry> entries;
  ASSERT_TRUE(database_->Enumerate(kServiceTypeAll, kServiceStateAll, &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, u"Alpha");  // by name
  EXPECT_EQ(entries[1].display_name, u"beep display");
  EXPECT_EQ(entries[1].status.type, kServiceKernelDriver);
  EXPECT_EQ(entries[1].status.state, kServiceRunning);
  ASSERT_TRUE(database_->Enumerate(kServiceWin32, kServiceStateActive, &entries));
  EXPECT_TRUE(entries.empty());
  ASSERT_TRUE(database_->Enumerate(kServiceTypeAll, kServiceStateInactive, &entries));
  ASSERT_EQ(entries.size(), 1u);

  // A configuration wants the 64-byte record and its texts with terminators:
  // "C:\x\Alpha.exe", "", "Alpha display", "LocalSystem", and the empty
  // dependency list.
  std::unique_ptr<Service> reading;
  ASSERT_TRUE(database_->Open(u"alpha", kGenericRead, &reading));
  uint64_t buffer[64] = {};
  uint32_t needed = 0;
  ServiceConfig config;
  EXPECT_EQ(Code(reading->QueryConfig(buffer, 100, &needed, &config)), 122u);
  EXPECT_EQ(needed, 64u + 2 * (15 + 1 + 14 + 12) + 2);
  ASSERT_TRUE(reading->QueryConfig(buffer, needed, &needed, &config)) << LastError();
  EXPECT_EQ(config.binary_path, u"C:\\x\\Alpha.exe");
  EXPECT_EQ(config.account, u"LocalSystem");
  std::u16string description;
  EXPECT_EQ(Code(reading->QueryDescription(buffer, 8, &needed, &description)), 122u);
  EXPECT_EQ(needed, 8u + 12);
  ASSERT_TRUE(reading->QueryDescription(buffer, sizeof buffer, &needed, &description));
  EXPECT_EQ(description, u"first");
  // Reading rights do not start a service; a manager without the list right lists nothing.
  EXPECT_EQ(Code(reading->Start()), 5u);
  manager_.SetGrantedRights(kScManagerConnect, kServiceAllAccess);
  std::unique_ptr<ServiceDatabase> connected;
  ASSERT_TRUE(manager_.OpenManager(kScManagerConnect, &connected));
  EXPECT_EQ(Code(connected->Enumerate(kServiceTypeAll, kServiceStateAll, &entries)), 5u);
}

#ifdef _WIN32
// The real manager (Wine's here) lists itself and answers the queries the
// same way: a short buffer is refused with the size it wants.
TEST(RealServiceManager, ListsServicesAndReadsTheirConfigurations) {
  std::unique_ptr<ServiceDatabase> database;
  ASSERT_TRUE(ServiceManager::Real().OpenManager(kGenericRead, &database)) << LastError();
  std::vector<ServiceEntry> entries;
  ASSERT_TRUE(database->Enumerate(kServiceTypeAll, kServiceStateAll, &entries)) << LastError();
  ASSERT_FALSE(entries.empty());
  bool driver = false;
  for (const ServiceEntry& entry : entries) driver = driver || (entry.status.type & kServiceWin32) == 0;
  EXPECT_TRUE(driver);
  std::unique_ptr<Service> service;
  ASSERT_TRUE(database->Open(entries[0].name, kGenericRead, &service)) << LastError();
  uint64_t small[2] = {};
  uint32_t needed = 0;
  ServiceConfig config;
  EXPECT_FALSE(service->QueryConfig(small, sizeof small, &needed, &config));
  EXPECT_EQ(LastError(), 122u);
  EXPECT_GT(needed, sizeof small);
  std::vector<uint64_t> buffer(needed / 8 + 1);
  ASSERT_TRUE(service->QueryConfig(buffer.data(), static_cast<uint32_t>(buffer.size() * 8), &needed, &config));
  EXPECT_EQ(config.display_name, entries[0].display_name);
  std::u16string description;
  ASSERT_TRUE(service->QueryDescription(buffer.data(), static_cast<uint32_t>(buffer.size() * 8), &needed,
                                        &description))
      << LastError();
}
#endif

}  // namespace
}  // namespace orvalinth::platform
