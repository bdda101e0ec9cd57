#pragma once
// Several fleet server nodes for tests: one PostgreSQL catalog (a fresh
// database of the program's PostgreSQL, tests/server/pg_fixture.h), one
// snapshot folder they all see, and N CXFleetServer nodes on ports of their
// own, each with its own catalog connection, log and loop thread, as N
// processes would have. Simulated agents get every node's address and move
// to the next when theirs is gone.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "server/catalog_open.h"
#include "server/fleet_fixture.h"
#include "server/pg_fixture.h"

namespace orvalinth::test {

// The nodes' rhythm for tests: a beat every 100 ms (dead after 300 ms), an
// answer from another node awaited 3 s, a snapshot not catalogued asked
// again after 200 ms, the machines of a node dead 3 s offline.
inline server::SXFleetTuning NodeTuning() {
  server::SXFleetTuning t = QuickTuning();
  t.heartbeat_ms = 100;
  t.dead_beats = 3;
  t.remote_ms = 3000;
  t.retry_ms = 200;
  t.gone_ms = 3000;
  return t;
}

class NodeFixture {
 public:
  explicit NodeFixture(int nodes, server::SXServerConfig config = QuickServerConfig(),
                       server::SXFleetTuning tuning = NodeTuning())
      : data_(platform::posix::ToHostPath(folder_.path())), config_(std::move(config)), tuning_(tuning) {
    while (data_.size() > 1 && data_.back() == '/') data_.pop_back();
    std::string error;
    EXPECT_TRUE(CXPgTestServer::Get().NewDatabase(&conninfo_, &error)) << error;
    config_.data_folder = data_;
    config_.catalog_path = conninfo_;
    config_.web_enabled = false;
    store_ = std::make_unique<server::CXSnapshotStore>(tools::Utf8ToUtf16(data_));
    catalog_ = server::OpenCatalog(conninfo_, &error);
    EXPECT_NE(catalog_, nullptr) << error;
    for (int i = 0; i < nodes; ++i) nodes_.push_back(std::make_unique<Node>());
    for (int i = 0; i < nodes; ++i) StartNode(i);
  }
  ~NodeFixture() {
    for (auto& fleet : fleets_) fleet->Stop();
    for (size_t i = 0; i < nodes_.size(); ++i) StopNode(static_cast<int>(i));
  }
  NodeFixture(const NodeFixture&) = delete;
  NodeFixture& operator=(const NodeFixture&) = delete;

  // Node i started (again on its earlier port, so that its agents find it).
  void StartNode(int i) {
    Node& n = *nodes_[static_cast<size_t>(i)];
    n.server.reset();  // an earlier one (stopped) with what it still runs, before its catalog goes
    std::string error;
    n.catalog = server::OpenCatalog(conninfo_, &error);
    ASSERT_NE(n.catalog, nullptr) << error;
    if (!n.log) {
      n.log = std::make_unique<server::CXServerLog>();
      ASSERT_TRUE(n.log->Open(data_ + "/node" + std::to_string(i) + ".log", &error)) << error;
    }
    server::SXServerConfig c = config_;
    c.node_name = "node-" + std::to_string(i);
    c.listen_port = n.port;
    c.log_path = data_ + "/node" + std::to_string(i) + ".log";
    n.server = std::make_unique<server::CXFleetServer>(c, *n.catalog, *store_, *n.log, tuning_);
    n.server->set_events(&n.events);
    ASSERT_TRUE(n.server->Start(&error)) << error;
    n.port = n.server->port();
    n.thread = std::thread([server = n.server.get()] { server->Run(); });
  }
  // A clean stop: links closed, the node marked stopped.
  void StopNode(int i) {
    Node& n = *nodes_[static_cast<size_t>(i)];
    if (!n.thread.joinable()) return;
    n.server->Stop();
    n.thread.join();
  }
  // As a crash: the loop ends at once, nothing more is written, the links go with the object.
  void KillNode(int i) {
    Node& n = *nodes_[static_cast<size_t>(i)];
    if (!n.thread.joinable()) return;
    n.server->Abandon();
    n.thread.join();
    n.server.reset();
    n.catalog.reset();
  }

  // Agents given every node's address; agent k starts at node k modulo N.
  sim::CXSimulatedFleet& Agents(std::vector<sim::SXSimAgentConfig> agents, sim::SnapshotBytes bytes,
                                sim::SXSimTiming timing = FastSimTiming(), int threads = 1) {
    sim::SXSimFleetConfig config;
    config.host = "127.0.0.1";
    config.port = nodes_[0]->port;
    for (size_t i = 1; i < nodes_.size(); ++i) config.more_servers.emplace_back("127.0.0.1", nodes_[i]->port);
    config.snapshot = std::move(bytes);
    config.agents = std::move(agents);
    config.timing = timing;
    config.threads = threads;
    fleets_.push_back(std::make_unique<sim::CXSimulatedFleet>(std::move(config)));
    std::string error;
    EXPECT_TRUE(fleets_.back()->Start(&error)) << error;
    return *fleets_.back();
  }

  server::CXFleetServer& node(int i) { return *nodes_[static_cast<size_t>(i)]->server; }
  server::CXCatalog& catalog() { return *catalog_; }
  const std::string& data() const { return data_; }
  const std::string& conninfo() const { return conninfo_; }
  std::string Query(const std::string& sql) const { return CXPgTestServer::Query(conninfo_, sql); }
  std::string Log(int i) const { return FleetFixture::FileText(data_ + "/node" + std::to_string(i) + ".log"); }
  // The machines online on node i, by the catalog.
  int64_t MachinesOn(int i) {
    std::vector<server::SXNodeRow> rows;
    EXPECT_TRUE(catalog_->ListNodes(platform::UnixMicros() / 1000, &rows).ok());
    for (const server::SXNodeRow& r : rows) {
      if (r.name == "node-" + std::to_string(i)) return r.machines;
    }
    return -1;
  }

  // Every snapshot the agents made is catalogued once and stored once, byte
  // for byte what they served, and the agents hold none (call with every
  // scan ended and every download done).
  void ExpectEachSnapshotStoredOnce(const sim::CXSimulatedFleet& fleet, uint64_t* total) {
    *total = 0;
    std::set<int32_t> ids;
    for (size_t i = 0; i < fleet.size(); ++i) {
      const sim::SXSimAgentState s = fleet.AgentState(i);
      SCOPED_TRACE(s.name + ", id " + std::to_string(s.id));
      ASSERT_GT(s.id, 0);
      EXPECT_TRUE(ids.insert(s.id).second) << "two agents with one id";
      EXPECT_TRUE(s.saved.empty()) << s.saved.size() << " snapshots still held";
      std::vector<server::SXSnapshotRow> rows;
      ASSERT_TRUE(catalog_->ListSnapshots(s.id, &rows).ok());
      std::set<int32_t> numbers;
      for (const server::SXSnapshotRow& row : rows) {
        EXPECT_TRUE(numbers.insert(row.number).second) << "snapshot " << row.number << " catalogued twice";
        EXPECT_TRUE(FleetFixture::FileText(data_ + "/" + row.path) ==
                    *fleet.Served(sim::SnapshotVariant::kNormal, row.number))
            << row.path;
      }
      EXPECT_EQ(static_cast<int32_t>(numbers.size()), s.snapshot_count);
      size_t files = 0;
      std::error_code ignored;
      for (const auto& e : std::filesystem::directory_iterator(data_ + "/machines/" + std::to_string(s.id), ignored)) {
        const std::string name = e.path().filename().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
        files += name.size() > 4 && name.compare(name.size() - 4, 4, ".snp") == 0 ? 1 : 0;
      }
      EXPECT_EQ(files, numbers.size()) << "files of machine " << s.id;
      *total += numbers.size();
    }
  }

 private:
  struct Node {
    std::unique_ptr<server::CXCatalog> catalog;
    std::unique_ptr<server::CXServerLog> log;
    server::CXFleetEvents events;
    std::unique_ptr<server::CXFleetServer> server;
    std::thread thread;
    uint16_t port = 0;
  };

  TempFolder folder_;
  std::string data_;
  std::string conninfo_;
  server::SXServerConfig config_;
  server::SXFleetTuning tuning_;
  std::unique_ptr<server::CXSnapshotStore> store_;
  std::unique_ptr<server::CXCatalog> catalog_;  // the tests' own connection
  std::vector<std::unique_ptr<Node>> nodes_;
  std::vector<std::unique_ptr<sim::CXSimulatedFleet>> fleets_;
};

// A schedule of every machine, every `every_s` seconds spread over `jitter_s`.
inline server::SXServerConfig ScheduledConfig(int64_t every_s, int64_t jitter_s) {
  server::SXServerConfig c = QuickServerConfig();
  server::SXConfigSchedule s;
  s.name = "all";
  s.profile = "daily";
  s.every_s = every_s;
  s.jitter_s = jitter_s;
  c.schedules.push_back(s);
  return c;
}

}  // namespace orvalinth::test
