// CXNodeBus over PostgreSQL's LISTEN and NOTIFY (server/node_bus.h).

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "server/node_bus.h"
#include "server/pg_catalog_impl.h"

namespace orvalinth::server::pg {
namespace {

// A notification's payload must stay under 8,000 bytes; longer ones go
// through a row, and the notification carries "@<row id>".
constexpr size_t kNotifyMax = 7900;
// After the listening connection was lost, the next try this much later.
constexpr int64_t kRetryMs = 500;

std::string Channel(int64_t node_id) { return "orvalinth_node_" + std::to_string(node_id); }

class CXPgNodeBus final : public CXNodeBus {
 public:
  CXPgNodeBus(CXCatalog& catalog, std::string conninfo)
      : catalog_(catalog), conninfo_(std::move(conninfo)), descriptor_(io_), retry_(io_), work_(io_.get_executor()) {}
  ~CXPgNodeBus() override { Stop(); }

  bool Start(int64_t node_id, Receive receive, std::string* error) override {
    node_id_ = node_id;
    receive_ = std::move(receive);
    {
      std::lock_guard<std::mutex> lock(send_mutex_);
      if (!send_.Open(conninfo_, error)) return false;
    }
    if (!Connect(error)) return false;
    thread_ = std::thread([this] { io_.run(); });
    return true;
  }

  bool Send(int64_t node_id, const std::string& message, std::string* error) override {
    std::string payload = message;
    if (payload.size() > kNotifyMax) {
      int64_t id = 0;
      const SXCatalogStatus s = catalog_.PutNodeMessage(message, static_cast<int64_t>(std::time(nullptr)), &id);
      if (!s) {
        *error = s.message;
        return false;
      }
      payload = "@" + std::to_string(id);
    }
    std::lock_guard<std::mutex> lock(send_mutex_);
    CXPgRun run = send_.Run("SELECT pg_notify($1, $2)");
    if (!run.Text(1, Channel(node_id)).Text(2, payload).Done()) {
      *error = run.error();
      return false;
    }
    return true;
  }

  void Stop() override {
    if (stopped_.exchange(true)) return;
    work_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
    Drop();
    std::lock_guard<std::mutex> lock(send_mutex_);
    send_.Close();
  }

  bool listening() const override { return listening_.load(); }

 private:
  // On the bus's thread, or before it runs.
  bool Connect(std::string* error) {
    conn_ = PQconnectdb(conninfo_.c_str());
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      *error = std::string("the nodes' channel cannot connect to PostgreSQL: ") +
               (conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
      Drop();
      return false;
    }
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    const std::string listen = "LISTEN " + Channel(node_id_);
    PGresult* result = PQexec(conn_, listen.c_str());
    const bool ok = result != nullptr && PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) *error = std::string("the nodes' channel cannot listen: ") + PQerrorMessage(conn_);
    if (result != nullptr) PQclear(result);
    if (!ok) {
      Drop();
      return false;
    }
    boost::system::error_code ec;
    descriptor_.assign(PQsocket(conn_), ec);
    if (ec) {
      *error = "the nodes' channel cannot wait on its socket: " + ec.message();
      Drop();
      return false;
    }
    listening_ = true;
    Wait();
    return true;
  }

  // The descriptor is libpq's: released, never closed by Asio.
  void Drop() {
    listening_ = false;
    if (descriptor_.is_open()) descriptor_.release();
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
  }

  void Wait() {
    descriptor_.async_wait(boost::asio::posix::stream_descriptor::wait_read, [this](const boost::system::error_code& e) {
      if (e == boost::asio::error::operation_aborted || stopped_) return;
      if (e || PQconsumeInput(conn_) == 0 || PQstatus(conn_) == CONNECTION_BAD) return Lost();
      std::vector<std::string> payloads;
      while (PGnotify* n = PQnotifies(conn_)) {
        payloads.emplace_back(n->extra != nullptr ? n->extra : "");
        PQfreemem(n);
      }
      Wait();
      for (const std::string& p : payloads) Deliver(p);
    });
  }

  void Lost() {
    Drop();
    retry_.expires_after(std::chrono::milliseconds(kRetryMs));
    retry_.async_wait([this](const boost::system::error_code& e) {
      if (e || stopped_) return;
      std::string ignored;
      if (!Connect(&ignored)) Lost();
    });
  }

  void Deliver(const std::string& payload) {
    if (payload.empty() || payload[0] != '@') return receive_(payload);
    std::string text;
    if (catalog_.TakeNodeMessage(std::strtoll(payload.c_str() + 1, nullptr, 10), &text)) receive_(text);
  }

  CXCatalog& catalog_;
  const std::string conninfo_;
  int64_t node_id_ = 0;
  Receive receive_;
  boost::asio::io_context io_;
  boost::asio::posix::stream_descriptor descriptor_;
  boost::asio::steady_timer retry_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread thread_;
  PGconn* conn_ = nullptr;
  std::atomic<bool> listening_{false};
  std::atomic<bool> stopped_{false};
  std::mutex send_mutex_;
  CXPgDb send_;
};

}  // namespace

std::unique_ptr<CXNodeBus> CXPgCatalog::OpenNodeBus(std::string* error) {
  std::string conninfo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    conninfo = db_.conninfo();
  }
  (void)error;
  return std::make_unique<CXPgNodeBus>(*this, conninfo);
}

}  // namespace orvalinth::server::pg
