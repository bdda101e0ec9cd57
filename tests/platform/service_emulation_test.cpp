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

}  // namespace
}  // namespace orvalinth::platform
