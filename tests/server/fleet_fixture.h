#pragma once
// A fleet server for tests: CXFleetServer on 127.0.0.1 (a port of its own),
// a temporary data folder with its SQLite catalog and log, short limits, its
// loop on a thread of its own; and simulated agents against it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/wait_until.h"
#include "platform/posix/drive_table.h"
#include "server/fleet_server.h"
#include "server/sim/agent_sim.h"
#include "server/sim_test_support.h"
#include "server/sqlite_catalog.h"
#include "test_support.h"
#include "tools/console_text.h"

namespace orvalinth::test {

// A server's rhythm for tests: deadlines and the catalog looked at every
// 20 ms, a greeting and a block awaited half a second.
inline server::SXFleetTuning QuickTuning() {
  server::SXFleetTuning t;
  t.sweep_ms = 20;
  t.catalog_look_ms = 20;
  t.greeting_ms = 500;
  t.reply_ms = 500;
  t.idle_ms = 60000;
  return t;
}

inline server::SXServerConfig QuickServerConfig() {
  server::SXServerConfig c;
  c.listen_address = "127.0.0.1";
  c.listen_port = 0;
  c.compare_workers = 1;
  c.keep_snapshots = 0;  // a test that prunes says so
  server::SXConfigProfile profile;
  profile.name = "daily";
  profile.files = {"C:\\Windows"};
  profile.regs = {"HKEY_LOCAL_MACHINE\\SOFTWARE"};
  profile.apps = {"*"};
  profile.versions = true;
  profile.snapshot_name = "daily";
  c.profiles.push_back(profile);
  return c;
}

class FleetFixture {
 public:
  explicit FleetFixture(server::SXServerConfig config = QuickServerConfig(),
                        server::SXFleetTuning tuning = QuickTuning())
      : data_(platform::posix::ToHostPath(folder_.path())) {
    while (data_.size() > 1 && data_.back() == '/') data_.pop_back();
    config.data_folder = data_;
    config.catalog_path = data_ + "/catalog.db";
    config.log_path = data_ + "/server.log";
    config_ = config;
    std::string error;
    EXPECT_TRUE(log_.Open(config.log_path, &error)) << error;
    catalog_ = server::OpenSqliteCatalog(config.catalog_path, &error);
    EXPECT_NE(catalog_, nullptr) << error;
    store_ = std::make_unique<server::CXSnapshotStore>(tools::Utf8ToUtf16(data_));
    tuning_ = tuning;
    StartServer();
  }
  ~FleetFixture() {
    for (auto& fleet : fleets_) fleet->Stop();
    StopServer();
  }
  FleetFixture(const FleetFixture&) = delete;
  FleetFixture& operator=(const FleetFixture&) = delete;

  // A new server on the same data folder, catalog, events and port (after
  // StopServer), so that the agents come back to it.
  void StartServer() {
    server_ = std::make_unique<server::CXFleetServer>(config_, *catalog_, *store_, log_, tuning_);
    server_->set_events(&events_);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->port();
    config_.listen_port = port_;
    thread_ = std::thread([this] { server_->Run(); });
  }
  // Stop() and the end of Run(); the server object stays for its counters.
  void StopServer() {
    if (!thread_.joinable()) return;
    server_->Stop();
    thread_.join();
  }

  // Agents against this server; they stop before the server does.
  sim::CXSimulatedFleet& Agents(std::vector<sim::SXSimAgentConfig> agents, sim::SnapshotBytes bytes = Snapshot(),
                                sim::SXSimTiming timing = FastSimTiming(), int threads = 1) {
    fleets_.push_back(StartFleet(port_, std::move(agents), std::move(bytes), timing, threads));
    return *fleets_.back();
  }
  // The snapshot file the agents serve unless a test gives its own.
  static sim::SnapshotBytes Snapshot() {
    static const sim::SnapshotBytes bytes = Shared(RealSnapshotBytes());
    return bytes;
  }

  server::CXFleetServer& server() { return *server_; }
  server::CXFleetEvents& events() { return events_; }
  const server::SXFleetCounters& counters() const { return server_->counters(); }
  server::CXCatalog& catalog() { return *catalog_; }
  server::CXSnapshotStore& store() { return *store_; }
  uint16_t port() const { return port_; }
  const std::string& data() const { return data_; }

  std::string Log() const { return FileText(config_.log_path); }
  bool WaitForLog(const std::string& text, int deadline_ms = kWaitDeadlineMs) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, deadline_ms);
  }
  // The lines of the log holding `text`.
  size_t LogLines(const std::string& text) const {
    std::istringstream in(Log());
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  // Every file below the data folder's machines/, relative to it, sorted.
  std::vector<std::string> StoredFiles() const {
    std::vector<std::string> out;
    List(data_ + "/machines", "", &out);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string StoredBytes(const std::string& relative) const { return FileText(data_ + "/" + relative); }

  // The catalog's snapshots of a machine, in received order.
  std::vector<server::SXSnapshotRow> Snapshots(int32_t uid) {
    std::vector<server::SXSnapshotRow> rows;
    EXPECT_TRUE(catalog_->ListSnapshots(uid, &rows).ok());
    return rows;
  }
  std::vector<server::SXMachineRow> Machines() {
    std::vector<server::SXMachineRow> rows;
    EXPECT_TRUE(catalog_->ListMachines(&rows).ok());
    return rows;
  }

  static std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  static void List(const std::string& folder, const std::string& prefix, std::vector<std::string>* out) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
      const std::string name = prefix + entry.path().filename().string();
      if (entry.is_directory(ignored)) {
        List(entry.path().string(), name + "/", out);
      } else {
        out->push_back(name);
      }
    }
  }

  TempFolder folder_;
  std::string data_;
  server::SXServerConfig config_;
  server::SXFleetTuning tuning_;
  server::CXServerLog log_;
  server::CXFleetEvents events_;
  std::unique_ptr<server::CXCatalog> catalog_;
  std::unique_ptr<server::CXSnapshotStore> store_;
  std::unique_ptr<server::CXFleetServer> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<sim::CXSimulatedFleet>> fleets_;
};

// What a fleet action answered, waited for with the tests' deadline.
inline server::SXActionResult Call(const std::function<void(server::CXFleetActions::Done)>& action) {
  auto promise = std::make_shared<std::promise<server::SXActionResult>>();
  std::future<server::SXActionResult> future = promise->get_future();
  action([promise](const server::SXActionResult& r) { promise->set_value(r); });
  if (future.wait_for(std::chrono::milliseconds(kWaitDeadlineMs)) != std::future_status::ready) {
    ADD_FAILURE() << "no answer";
    return server::SXActionResult();
  }
  return future.get();
}

}  // namespace orvalinth::test
