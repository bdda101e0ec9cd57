#pragma once
// CXWebServer: the web console's HTTP server (HTTP/1.1, keep-alive, HTTPS
// with the agents' certificate and key when the server has them) in the
// fleet server's process, on a loop and threads of its own, so that a slow
// page never delays an agent.
//
// Every request is read whole (headers at most 16 KiB: 431; a body at most
// 1 MiB unless its route says more: 413) within request_ms of its first
// byte, or of the connection's start; a connection idle between requests
// longer than idle_ms is closed; more than max_connections at once are
// refused at accept. Every /api/ route and /metrics need a signed-in
// session or an API token (server/web_auth.h); the pages do not.
//
// Its own routes: the accounts (CXWebAuth), GET /api/v1/events (the fleet's
// events as Server-Sent Events) and GET /metrics (Prometheus' text format);
// the fleet API's routes come in the options.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/fleet_actions.h"
#include "server/fleet_events.h"
#include "server/server_log.h"
#include "server/web_auth.h"
#include "server/web_router.h"
#include "server/web_types.h"

namespace orvalinth::server {

inline constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "frame-src 'self'; frame-ancestors 'self'; base-uri 'none'; form-action 'self'";

struct SXWebTuning {
  int64_t request_ms = 15000;        // a request, from its first byte to its last
  int64_t idle_ms = 60000;           // between requests of a connection; a write that stalls
  int max_connections = 256;
  int threads = 2;
  int64_t event_comment_ms = 15000;  // a comment line keeps an idle event stream open
  size_t event_queue_bytes = 1024 * 1024;  // an event stream further behind is dropped
  SXSignInTuning sign_in;
};

struct SXWebServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;              // 0: a free port (tests)
  std::string tls_cert, tls_key;     // both: HTTPS only
  CXCatalog* catalog = nullptr;      // required
  CXFleetActions* actions = nullptr; // null: /metrics has the HTTP layer's own numbers only
  CXFleetEvents* events = nullptr;   // null: no event stream (503)
  CXServerLog* log = nullptr;        // may be null
  std::vector<SXWebRoute> routes;    // besides its own: the fleet API's
  SXWebTuning tuning;
  std::function<int64_t()> now;      // seconds since 1970; null: the clock
};

struct SXWebCounters {
  std::atomic<uint64_t> connections_open{0};
  std::atomic<uint64_t> connections_refused{0};  // over max_connections
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> streams_dropped{0};      // event streams whose reader fell behind
};

class CXWebServer {
 public:
  explicit CXWebServer(SXWebServerOptions options);
  ~CXWebServer();
  CXWebServer(const CXWebServer&) = delete;
  CXWebServer& operator=(const CXWebServer&) = delete;

  // Loads the TLS identity (when given), listens, and starts the threads.
  // False with *error when any of it fails.
  bool Start(std::string* error);
  // Stops listening, ends every connection and joins the threads (any thread; again is harmless).
  void Stop();

  uint16_t port() const { return port_; }
  bool tls() const { return !options_.tls_cert.empty(); }
  // "http://127.0.0.1:8080/".
  std::string Url() const;

  // One request read whole, without the socket: routed, authorised and
  // answered through `reply` (exactly once, on any thread). The connections
  // call it; so does the fuzzer.
  void Handle(SXWebRequest request, WebReply reply);
  // The largest body the request's route takes.
  size_t BodyLimit(const SXWebRequest& request) const;
  // The answer's headers every answer carries, added to its own.
  static void AddCommonHeaders(const std::string& path, SXWebResponse* response);
  // Counts an answer (by status, and by route pattern with its time).
  void CountAnswer(int status, const std::string& pattern, double seconds);

  // The /metrics text.
  std::string MetricsText();

  const CXWebRouter& router() const { return *router_; }
  const SXWebCounters& counters() const { return counters_; }
  SXWebCounters& counters() { return counters_; }
  const SXWebServerOptions& options() const { return options_; }

  class Impl;

 private:
  void Events(const SXWebRequest& request, const WebReply& reply);
  void Metrics(const SXWebRequest& request, const WebReply& reply);
  void Static(const SXWebRequest& request, const WebReply& reply);

  SXWebServerOptions options_;
  std::unique_ptr<Impl> impl_;  // the loop, the listener, the TLS context: first made, last gone
  std::unique_ptr<CXWebAuth> auth_;
  std::unique_ptr<CXWebRouter> router_;
  SXWebCounters counters_;
  uint16_t port_ = 0;

  struct Histogram;
  std::mutex metrics_lock_;
  std::vector<std::pair<int, uint64_t>> answers_;  // status, count
  std::vector<std::pair<std::string, std::shared_ptr<Histogram>>> durations_;
};

}  // namespace orvalinth::server
