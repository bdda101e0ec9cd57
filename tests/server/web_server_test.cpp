// The web console's HTTP layer: targets and routes, sign-in, authorisation
// and CSRF, API tokens, the limits of a request, the event stream, /metrics.

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "fakes/wait_until.h"
#include "server/web_auth.h"
#include "server/web_router.h"
#include "server/web_fixture.h"

namespace orvalinth::test {
namespace {

using server::Json;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A raw connection for what the client of the fixture would not send.
struct RawConnection {
  explicit RawConnection(uint16_t port) : socket(io) { socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}); }
  void Send(const std::string& bytes) { boost::asio::write(socket, boost::asio::buffer(bytes)); }
  // What arrives until `marker` is in it (or the connection ends): all of it so far.
  std::string ReadUntil(const std::string& marker) {
    boost::system::error_code e;
    boost::asio::read_until(socket, boost::asio::dynamic_buffer(received), marker, e);
    return received;
  }
  boost::asio::io_context io;
  tcp::socket socket;
  std::string received;
};

TEST(WebRouterTest, TargetsAreDecodedOrRefused) {
  struct Row {
    const char* target;
    bool ok;
    const char* path;
    const char* query;  // "k=v;" for each pair
  } rows[] = {
      {"/", true, "/", ""},
      {"/api/v1/machines?online=1&name=a%20b+c&flag", true, "/api/v1/machines", "online=1;name=a b c;flag=;"},
      {"/a%2Fb", true, "/a/b", ""},
      {"/caf%C3%A9", true, "/caf\xC3\xA9", ""},
      {"/x?q=%zz", false, "", ""},
      {"/bad%2", false, "", ""},
      {"/nul%00", false, "", ""},
      {"/../etc/passwd", false, "", ""},
      {"/a/%2e%2e/b", false, "", ""},
      {"/a/./b", false, "", ""},
      {"/a\\b", false, "", ""},
      {"relative", false, "", ""},
      {"http://host/", false, "", ""},
  };
  for (const Row& row : rows) {
    std::string path, error;
    server::WebPairs query;
    EXPECT_EQ(server::ParseTarget(row.target, &path, &query, &error), row.ok) << row.target << ": " << error;
    if (!row.ok) continue;
    std::string pairs;
    for (const auto& pair : query) pairs += pair.first + "=" + pair.second + ";";
    EXPECT_EQ(path, row.path) << row.target;
    EXPECT_EQ(pairs, row.query) << row.target;
  }
}

TEST(WebRouterTest, RoutesMatchByMethodAndPattern) {
  auto route = [](const char* method, const char* pattern) {
    server::SXWebRoute r;
    r.method = method;
    r.pattern = pattern;
    return r;
  };
  const server::CXWebRouter router({route("GET", "/t/{id}"), route("GET", "/t/new"), route("DELETE", "/t/{id}"),
                                    route("GET", "/m/{uid}/s")});
  struct Row {
    const char* method;
    const char* path;
    server::CXWebRouter::Match match;
    const char* pattern;
    const char* params;
  } rows[] = {
      {"GET", "/t/7", server::CXWebRouter::Match::kFound, "/t/{id}", "id=7;"},
      {"GET", "/t/new", server::CXWebRouter::Match::kFound, "/t/new", ""},
      {"DELETE", "/t/7", server::CXWebRouter::Match::kFound, "/t/{id}", "id=7;"},
      {"GET", "/m/12/s", server::CXWebRouter::Match::kFound, "/m/{uid}/s", "uid=12;"},
      {"POST", "/t/7", server::CXWebRouter::Match::kNoMethod, "", ""},
      {"GET", "/t/", server::CXWebRouter::Match::kNoPath, "", ""},
      {"GET", "/t/7/x", server::CXWebRouter::Match::kNoPath, "", ""},
  };
  for (const Row& row : rows) {
    server::WebPairs params;
    server::CXWebRouter::Match match;
    std::string allowed;
    const server::SXWebRoute* found = router.Find(row.method, row.path, &params, &match, &allowed);
    EXPECT_EQ(match, row.match) << row.method << " " << row.path;
    EXPECT_EQ(found != nullptr ? found->pattern : "", row.pattern) << row.path;
    std::string pairs;
    for (const auto& pair : params) pairs += pair.first + "=" + pair.second + ";";
    EXPECT_EQ(pairs, row.params) << row.path;
    if (match == server::CXWebRouter::Match::kNoMethod) {
      EXPECT_EQ(allowed, "GET, DELETE");
    }
  }
}

// Every API route and /metrics refuse a caller who is nobody (the route list of the server itself).
TEST(WebServerTest, EveryRouteButSignInNeedsAuthorisation) {
  WebFixture web;
  size_t checked = 0;
  for (const server::SXWebRoute& route : web.server().router().routes()) {
    if (server::CXWebAuth::IsOpen(route)) continue;
    const std::string target = std::regex_replace(route.pattern, std::regex("\\{[a-z_]+\\}"), "1");
    for (const auto& headers : std::vector<std::vector<std::pair<std::string, std::string>>>{
             {}, {{"Cookie", "orvalinth_session=" + std::string(64, 'a')}}, {{"Authorization", "Bearer orv_x"}}}) {
      const SXHttpAnswer answer = web.Request(route.method, target, route.action ? "{}" : "", headers);
      EXPECT_EQ(answer.status, 401) << route.method << " " << target;
      EXPECT_EQ(answer.ErrorCode(), "unauthorised") << route.method << " " << target;
    }
    ++checked;
  }
  EXPECT_GE(checked, 10u);
}

TEST(WebServerTest, ActionsByCookieNeedTheSessionsCsrfToken) {
  WebFixture web;
  WebFixture::Client old_session = web.SignIn();
  ASSERT_EQ(old_session.Send("DELETE", "/api/v1/session").status, 200);
  const WebFixture::Client mine = web.SignIn();
  const WebFixture::Client other = web.SignIn();
  struct Row {
    const char* what;
    std::string csrf;
    int status;
  } rows[] = {
      {"missing", "", 403},
      {"stale", old_session.csrf, 403},
      {"another session's", other.csrf, 403},
      {"the session's own", mine.csrf, 200},
  };
  for (const Row& row : rows) {
    WebFixture::Client client = mine;
    client.csrf = row.csrf;
    const SXHttpAnswer answer = client.Send("POST", "/api/v1/tokens", R"({"name":"ci"})");
    EXPECT_EQ(answer.status, row.status) << row.what << ": " << answer.body;
    if (row.status == 403) {
      EXPECT_EQ(answer.ErrorCode(), "csrf") << row.what;
    }
  }
  // Reading needs no CSRF token.
  WebFixture::Client reader = mine;
  reader.csrf.clear();
  EXPECT_EQ(reader.Get("/api/v1/tokens").status, 200);
}

TEST(WebServerTest, SignInSetsASessionCookieAndEveryAnswerItsHeaders) {
  WebFixture web;
  SXHttpAnswer signed_in;
  const WebFixture::Client client = web.SignIn(kWebUser, kWebPassword, &signed_in);
  const std::string cookie = signed_in.Header("Set-Cookie");
  EXPECT_TRUE(std::regex_match(cookie, std::regex("orvalinth_session=[0-9a-f]{64}; Path=/; Max-Age=43200; HttpOnly; "
                                                  "SameSite=Strict")))
      << cookie;
  const Json session = client.Get("/api/v1/session").Json();
  EXPECT_EQ(session["user"]["name"], kWebUser);
  EXPECT_EQ(session["csrf"], client.csrf);
  for (const std::string target : {"/api/v1/session", "/no-such-page", "/api/v1/no-such-call"}) {
    const SXHttpAnswer answer = client.Get(target);
    EXPECT_EQ(answer.Header("Content-Security-Policy"), server::kContentSecurityPolicy) << target;
    EXPECT_EQ(answer.Header("X-Content-Type-Options"), "nosniff") << target;
    EXPECT_EQ(answer.Header("Referrer-Policy"), "no-referrer") << target;
    EXPECT_EQ(answer.Header("Cache-Control"), target.rfind("/api/", 0) == 0 ? "no-store" : "") << target;
    if (target != "/api/v1/session") {
      EXPECT_EQ(answer.status, 404) << target;
    }
  }
  // The catalog holds the secret's hash only.
  const std::string secret = client.cookie.substr(client.cookie.find('=') + 1);
  server::SXWebSessionRow row;
  EXPECT_FALSE(web.catalog().GetWebSession(secret, 0, &row));
  EXPECT_TRUE(web.catalog().GetWebSession(server::Sha256Hex(secret), 0, &row));
  // Signed out, the cookie is nobody.
  EXPECT_EQ(client.Send("DELETE", "/api/v1/session").status, 200);
  EXPECT_EQ(client.Get("/api/v1/session").status, 401);
}

TEST(WebServerTest, OverHttpsTheCookieIsSecure) {
  WebFixture web(QuickWebTuning(), nullptr, true);
  EXPECT_EQ(web.server().Url().rfind("https://127.0.0.1:", 0), 0u);
  SXHttpAnswer signed_in;
  const WebFixture::Client client = web.SignIn(kWebUser, kWebPassword, &signed_in);
  EXPECT_NE(signed_in.Header("Set-Cookie").find("; Secure"), std::string::npos) << signed_in.Header("Set-Cookie");
  EXPECT_EQ(client.Get("/api/v1/session").status, 200);
  // Plain HTTP on the HTTPS port gets no answer.
  RawConnection plain(web.port());
  plain.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(plain.ReadUntil("\r\n\r\n").find("HTTP/1.1 200"), std::string::npos);
}

TEST(WebServerTest, TokensAuthoriseUntilDeleted) {
  WebFixture web;
  const WebFixture::Client browser = web.SignIn();
  const WebFixture::Client script = web.NewToken(browser);
  ASSERT_EQ(script.token.rfind("orv_", 0), 0u) << script.token;
  EXPECT_EQ(script.Get("/api/v1/session").Json()["user"]["name"], kWebUser);
  // Actions by token need no CSRF token.
  EXPECT_EQ(script.Send("POST", "/api/v1/tokens", R"({"name":"second"})").status, 200);
  const Json tokens = browser.Get("/api/v1/tokens").Json()["tokens"];
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0]["name"], "script");
  EXPECT_FALSE(tokens[0].contains("token"));
  EXPECT_EQ(browser.Send("DELETE", "/api/v1/tokens/" + std::to_string(tokens[0]["id"].get<int64_t>())).status, 200);
  EXPECT_EQ(script.Get("/api/v1/session").status, 401);
}

TEST(WebServerTest, UsersAndPasswords) {
  WebFixture web;
  const WebFixture::Client alice = web.SignIn();
  EXPECT_EQ(alice.Send("POST", "/api/v1/users", R"({"name":"bob","password":"short"})").ErrorCode(), "bad-password");
  EXPECT_EQ(alice.Send("POST", "/api/v1/users", R"({"name":"b o b","password":"long enough"})").ErrorCode(),
            "bad-name");
  EXPECT_EQ(alice.Send("POST", "/api/v1/users", R"({"name":"bob","password":"long enough"})").status, 200);
  EXPECT_EQ(alice.Send("POST", "/api/v1/users", R"({"name":"BOB","password":"long enough"})").status, 409);
  EXPECT_EQ(alice.Get("/api/v1/users").Json()["users"].size(), 2u);
  const WebFixture::Client bob = web.SignIn("bob", "long enough");
  const WebFixture::Client bob_elsewhere = web.SignIn("bob", "long enough");
  EXPECT_EQ(bob.Send("POST", "/api/v1/password", R"({"old":"wrong one","new":"newer still"})").status, 403);
  const SXHttpAnswer changed = bob.Send("POST", "/api/v1/password", R"({"old":"long enough","new":"newer still"})");
  ASSERT_EQ(changed.status, 200) << changed.body;
  // The other session ended; the browser that changed it has a new one.
  EXPECT_EQ(bob_elsewhere.Get("/api/v1/session").status, 401);
  WebFixture::Client renewed = bob;
  renewed.cookie = changed.Header("Set-Cookie").substr(0, changed.Header("Set-Cookie").find(';'));
  EXPECT_EQ(renewed.Get("/api/v1/session").status, 200);
  web.SignIn("bob", "newer still");
}

TEST(WebServerTest, FailedSignInsAreSlowedLoggedAndShutOut) {
  server::SXWebTuning tuning = QuickWebTuning();
  tuning.sign_in.first_delay_ms = 60;
  tuning.sign_in.longest_delay_ms = 120;
  tuning.sign_in.lockout_failures = 3;
  WebFixture web(tuning);
  const std::string wrong = R"({"name":"alice","password":"not-the-password"})";
  std::vector<int64_t> delays;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    const SXHttpAnswer answer = web.Request("POST", "/api/v1/session", wrong);
    delays.push_back(MsSince(start));
    EXPECT_EQ(answer.ErrorCode(), "sign-in-failed");
  }
  // Each answer waits at least its delay; the time to check the password
  // comes on top, and on a loaded machine varies by more than the 60 ms
  // between them, so the two are not compared with each other.
  EXPECT_GE(delays[0], 60);
  EXPECT_GE(delays[1], 120);
  const SXHttpAnswer shut = web.Request("POST", "/api/v1/session", R"({"name":"alice","password":"correct horse battery"})");
  EXPECT_EQ(shut.status, 429);
  EXPECT_FALSE(shut.Header("Retry-After").empty());
  std::ifstream file(web.log_path());
  std::stringstream log;
  log << file.rdbuf();
  EXPECT_NE(log.str().find("sign-in failed for \"alice\" from 127.0.0.1"), std::string::npos) << log.str();
  EXPECT_EQ(log.str().find("not-the-password"), std::string::npos);
  EXPECT_NE(web.server().MetricsText().find("orvalinth_http_sign_in_failures_total 3\n"), std::string::npos);
}

TEST(WebServerTest, OversizedRequestsAreRefused) {
  WebFixture web;
  struct Row {
    const char* what;
    std::string request;
    int status;
  } rows[] = {
      {"header over 16 KiB", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(17 * 1024, 'a') + "\r\n\r\n", 431},
      {"body over 1 MiB", "POST /api/v1/session HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n{", 413},
      {"bad escape", "GET /%zz HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"no HTTP", "HELLO\r\n\r\n", 400},
  };
  for (const Row& row : rows) {
    RawConnection connection(web.port());
    connection.Send(row.request);
    const std::string answer = connection.ReadUntil("\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(row.status)) << row.what << ": " << answer;
  }
}

TEST(WebServerTest, KeepAliveAnswersRequestsSentTogetherInTurn) {
  WebFixture web;
  RawConnection connection(web.port());
  connection.Send("GET /api/v1/session HTTP/1.1\r\nHost: x\r\n\r\nGET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string answers = connection.ReadUntil("not found\n");
  EXPECT_EQ(answers.find("HTTP/1.1 401"), 0u) << answers;
  EXPECT_NE(answers.find("HTTP/1.1 404"), std::string::npos) << answers;
}

// Slow senders and idle connections hold slots only until their time runs out; a request gets through.
TEST(WebServerTest, SlowAndIdleConnectionsDoNotStopOthers) {
  server::SXWebTuning tuning = QuickWebTuning();
  tuning.request_ms = 300;
  WebFixture web(tuning);
  std::atomic<bool> done{false};
  std::thread slow([&] {
    try {
      RawConnection connection(web.port());
      const std::string request = "GET /api/v1/session HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(100, 'a');
      for (size_t i = 0; i < request.size() && !done; ++i) {
        connection.Send(request.substr(i, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    } catch (const std::exception&) {
      // Closed by the server: what is meant to happen.
    }
  });
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<RawConnection>(web.port()));
  const auto start = Clock::now();
  int status = 0;
  while (status != 401 && MsSince(start) < 1000) status = web.Request("GET", "/api/v1/session").status;
  EXPECT_EQ(status, 401);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_GT(web.server().counters().connections_refused.load(), 0u);
  done = true;
  slow.join();
}

TEST(WebServerTest, EventStreamSendsPublishedEventsAndResumes) {
  server::SXWebTuning tuning = QuickWebTuning();
  tuning.idle_ms = 200;
  WebFixture web(tuning);
  const WebFixture::Client client = web.SignIn();
  web.events().Publish("agent-online", R"({"uid":1})");
  RawConnection stream(web.port());
  stream.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\nCookie: " + client.cookie + "\r\nLast-Event-ID: 0\r\n\r\n");
  EXPECT_NE(stream.ReadUntil(": stream open\n\n").find("Content-Type: text/event-stream"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return web.events().listeners() == 1; }));
  // A stream is no idle connection: it outlives the idle limit.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  web.events().Publish("scan-done", R"({"uid":1,"scan":5})");
  EXPECT_NE(stream.ReadUntil("scan\":5}\n\n").find("event: scan-done\nid: 2\ndata: {\"uid\":1,\"scan\":5}\n\n"),
            std::string::npos);
  // A stream that comes back after event 1 gets event 2 first.
  RawConnection again(web.port());
  again.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\nCookie: " + client.cookie + "\r\nLast-Event-ID: 1\r\n\r\n");
  EXPECT_NE(again.ReadUntil("scan\":5}\n\n").find("id: 2\n"), std::string::npos) << again.received;
  EXPECT_EQ(again.received.find("id: 1\n"), std::string::npos);
  // A reader that goes takes its listener along.
  stream.socket.close();
  again.socket.close();
  EXPECT_TRUE(WaitUntil([&] { return web.events().listeners() == 0; }));
}

TEST(WebServerTest, EventStreamOfASlowReaderIsDropped) {
  server::SXWebTuning tuning = QuickWebTuning();
  tuning.event_queue_bytes = 64 * 1024;
  WebFixture web(tuning);
  const WebFixture::Client client = web.SignIn();
  RawConnection stream(web.port());
  stream.socket.set_option(boost::asio::socket_base::receive_buffer_size(4096));
  stream.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\nCookie: " + client.cookie + "\r\n\r\n");
  ASSERT_TRUE(WaitUntil([&] { return web.events().listeners() == 1; }));
  const std::string data = "{\"text\":\"" + std::string(4000, 'x') + "\"}";
  // Never read: the socket's buffers fill, then the queue passes its bound.
  ASSERT_TRUE(WaitUntil([&] {
    web.events().Publish("scan-progress", data);
    return web.server().counters().streams_dropped.load() == 1;
  }));
  EXPECT_TRUE(WaitUntil([&] { return web.events().listeners() == 0; }));
}

class FakeActions final : public server::CXFleetActions {
 public:
  bool IsOnline(int32_t) const override { return false; }
  void ScanNow(int32_t, const std::string&, const std::string&, Done done) override { done({}); }
  void StopScan(int32_t, const std::string&, Done done) override { done({}); }
  void Browse(int32_t, server::BrowseKind, const std::string&, Done done) override { done({}); }
  void Uninstall(int32_t, const std::string&, Done done) override { done({}); }
  void StartRollout(const server::SXRolloutRequest&, Done done) override { done({}); }
  void StopRollout(int64_t, const std::string&, Done done) override { done({}); }
  Json Health() const override {
    return Json::parse(R"({"uptime_seconds":12,"agents_connected":3,"sessions":{"idle":2,"scanning":1},
        "scans":{"started":4,"done":3},"comparison_seconds_total":1.5,"errors":{"catalog":2}})");
  }
};

TEST(WebServerTest, MetricsAreInPrometheusTextFormat) {
  FakeActions actions;
  WebFixture web(QuickWebTuning(), &actions);
  const WebFixture::Client script = web.NewToken(web.SignIn());
  web.Request("GET", "/api/v1/users");
  const SXHttpAnswer answer = script.Get("/metrics");
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::regex sample(R"([a-zA-Z_:][a-zA-Z0-9_:]*(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\.)*",?)*\})? -?[0-9.e+-]+)");
  const std::regex comment(R"(# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .+)");
  std::istringstream lines(answer.body);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, line[0] == '#' ? comment : sample)) << line;
  }
  for (const char* expected :
       {"orvalinth_agents_connected 3\n", "orvalinth_sessions{state=\"scanning\"} 1\n",
        "orvalinth_sessions{state=\"greeting\"} 0\n", "orvalinth_scans_total{result=\"done\"} 3\n",
        "orvalinth_comparison_seconds_total 1.5\n", "orvalinth_errors_total{kind=\"catalog\"} 2\n",
        "orvalinth_http_requests_total{code=\"401\"} 1\n", "# TYPE orvalinth_http_request_duration_seconds histogram\n",
        "orvalinth_http_request_duration_seconds_count{route=\"/api/v1/tokens\"} 1\n"}) {
    EXPECT_NE(answer.body.find(expected), std::string::npos) << expected << answer.body;
  }
}

TEST(WebAuthTest, FirstUserAndAddingOne) {
  WebFixture web;  // alice exists: no first user is made
  std::string password, error;
  EXPECT_TRUE(server::CreateFirstUser(web.catalog(), 0, &password, &error)) << error;
  EXPECT_TRUE(password.empty());
  bool created = true;
  const WebFixture::Client before = web.SignIn();
  ASSERT_TRUE(server::AddOrResetUser(web.catalog(), "alice", "another password", 0, &created, &error)) << error;
  EXPECT_FALSE(created);
  EXPECT_EQ(before.Get("/api/v1/session").status, 401);
  web.SignIn("alice", "another password");
  EXPECT_FALSE(server::AddOrResetUser(web.catalog(), "x y", "another password", 0, &created, &error));
}

}  // namespace
}  // namespace orvalinth::test
