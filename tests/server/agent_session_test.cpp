// The server's side of one link, against the real agent's link code in this
// process (plain and TLS) and against peers that break the rules.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "base/strings.h"
#include "fakes/tls_fixtures.h"
#include "fakes/wait_until.h"
#include "link/agent_fixture.h"
#include "platform/clock.h"
#include "server/agent_session.h"
#include "test_support.h"

namespace orvalinth::server {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

struct StringSink final : CXSnapshotSink {
  std::string bytes;
  bool Write(const uint8_t* b, size_t n, std::string*) override {
    bytes.append(reinterpret_cast<const char*>(b), n);
    return true;
  }
};

// A listener on the loop and an owner that records what the sessions say.
class SessionHarness : public CXSessionOwner {
 public:
  explicit SessionHarness(std::shared_ptr<const platform::TlsServerIdentity> identity = nullptr)
      : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), identity_(std::move(identity)) {
    limits_.greeting_ms = 5000;
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~SessionHarness() override {
    asio::post(io_, [this] {
      acceptor_.close();
      for (auto& s : sessions_) s->Close("the test ends");
    });
    io_.stop();
    thread_.join();
  }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }
  // On the loop: the sessions still open, and the deadlines at `now`.
  size_t open_sessions() const {
    size_t n = 0;
    for (const auto& s : sessions_) n += s->closed() ? 0 : 1;
    return n;
  }
  void TickAll(int64_t now) {
    for (auto& s : sessions_) s->Tick(now);
  }

  // Runs `work` on the loop and waits for it.
  void OnLoop(const std::function<void()>& work) {
    std::promise<void> done;
    asio::post(io_, [&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  }
  bool WaitFor(const std::function<bool()>& condition) {
    return test::WaitUntil([&] {
      std::lock_guard<std::mutex> guard(lock_);
      return condition();
    }, 10000);
  }

  void Greeted(const std::shared_ptr<CXAgentSession>& s) override {
    std::lock_guard<std::mutex> guard(lock_);
    greeted_ = s;
  }
  void ScanDone(const std::shared_ptr<CXAgentSession>&, const tools::SXScanDone& done) override {
    std::lock_guard<std::mutex> guard(lock_);
    scan_done_.push_back(done);
  }
  void Closed(CXAgentSession&, const std::string& why, bool violation) override {
    std::lock_guard<std::mutex> guard(lock_);
    closed_.push_back(why);
    violations_ += violation ? 1 : 0;
  }

  std::mutex lock_;
  std::shared_ptr<CXAgentSession> greeted_;
  std::vector<tools::SXScanDone> scan_done_;
  std::vector<std::string> closed_;
  int violations_ = 0;
  SXSessionLimits limits_;

 private:
  void Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
      if (error) return;
      auto session = std::make_shared<CXAgentSession>(std::move(socket), *this, limits_, identity_);
      sessions_.push_back(session);
      session->Start(platform::MonotonicMs());
      Accept();
    });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::shared_ptr<const platform::TlsServerIdentity> identity_;
  std::vector<std::shared_ptr<CXAgentSession>> sessions_;
  std::thread thread_;
};

class AgentSessionTest : public test::AgentTest {
 protected:
  void PointAgentAt(uint16_t port, const std::string& more = std::string()) {
    LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(port))}) + more);
  }
  // One request on the loop; its reply's key `key`, or the error.
  std::string Ask(SessionHarness& h, const std::shared_ptr<CXAgentSession>& s, const std::string& command,
                  const std::string& key) {
    std::promise<std::string> answer;
    h.OnLoop([&] {
      CXMessage m;
      m.Init(command);
      s->Request(command, m, [&](const CXMessage* reply, const std::string& error) {
        answer.set_value(reply != nullptr ? reply->GetString(key) : "error: " + error);
      });
    });
    return answer.get_future().get();
  }
};

// The whole of a session's work with the real agent: greeting, a command,
// a new id, a scan and its download, over a plain link and over TLS.
TEST_F(AgentSessionTest, TheRealAgentGreetsIsScannedAndDownloadedPlainAndOverTls) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    SessionHarness h(tls ? test::TlsFixtureIdentity("p256") : nullptr);
    PointAgentAt(h.port(), tls ? test::TlsSettings("p256") : std::string());
    UseFakeRecording()->running.store(0);
    StartAgent();
    ASSERT_TRUE(h.WaitFor([&] { return h.greeted_ != nullptr; }));
    std::shared_ptr<CXAgentSession> s = h.greeted_;
    EXPECT_EQ(s->info().name, "PC-01");
    EXPECT_EQ(s->info().id, 0);
    EXPECT_EQ(s->link_description().empty(), !tls) << s->link_description();

    const std::string disks = Ask(h, s, "get-disk", "disk");
    EXPECT_NE(disks.rfind("error", 0), 0u) << disks;
    h.OnLoop([&] {
      CXMessage m;
      m.Init("set-uid").AddInt("id", 77);
      s->Send(m);
    });
    ASSERT_TRUE(test::WaitUntil([&] { return settings_.computer_id() == 77; }, 5000));

    std::promise<std::string> scan;
    h.OnLoop([&] {
      CXMessage m;
      m.Init("scan").AddInt("default", 1);
      s->Request("scan", m, [&](const CXMessage* reply, const std::string& error) {
        scan.set_value(reply != nullptr ? std::to_string(reply->GetInt("ok")) : error);
      });
    });
    EXPECT_EQ(scan.get_future().get(), "1");
    ASSERT_TRUE(h.WaitFor([&] { return !h.scan_done_.empty(); }));
    const int32_t number = h.scan_done_.front().id_snapshot;
    ASSERT_GT(number, 0);

    StringSink sink;
    std::promise<SXDownloadOutcome> got;
    h.OnLoop([&] { s->Download(number, &sink, [&](const SXDownloadOutcome& o) { got.set_value(o); }); });
    const SXDownloadOutcome outcome = got.get_future().get();
    EXPECT_TRUE(outcome.complete) << outcome.error;
    EXPECT_EQ(sink.bytes, test::ReadFileBytes(SnapshotPath(number)));
    EXPECT_EQ(h.violations_, 0);
    StopAgent();
    ASSERT_TRUE(h.WaitFor([&] { return !h.closed_.empty(); }));
  }
}

// Peers that break the rules: each costs its own link only, closed as a
// violation with what was wrong.
TEST_F(AgentSessionTest, AFrameThatBreaksTheRulesClosesOnlyItsLink) {
  auto frame = [](const std::string& body) {
    std::string bytes(4, '\0');
    CXMessage::WriteLength(reinterpret_cast<uint8_t*>(&bytes[0]), static_cast<int32_t>(body.size()));
    return bytes + body;
  };
  CXMessage hello;
  hello.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 6);
  int32_t n = 0;
  const uint8_t* h_bytes = hello.Encode(&n);
  const std::string good_hello(reinterpret_cast<const char*>(h_bytes), static_cast<size_t>(n));
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"length beyond the server's frames", std::string("\x00\x00\x20\x00", 4), "frame length"},
      {"negative length", std::string("\xff\xff\xff\xff", 4), "frame length"},
      {"hello of the wrong shape", frame(std::string("hullo\xfe", 6)), "protocol violation"},
      {"info that is no info", good_hello + frame(std::string("ping", 4)), "protocol violation"},
  };
  SessionHarness h;
  asio::io_context io;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = h.closed_.size();
    tcp::socket peer(io);
    peer.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), h.port()));
    asio::write(peer, asio::buffer(c.bytes));
    ASSERT_TRUE(h.WaitFor([&] { return h.closed_.size() > before; }));
    std::lock_guard<std::mutex> guard(h.lock_);
    EXPECT_NE(h.closed_.back().find(c.reason), std::string::npos) << h.closed_.back();
  }
  EXPECT_EQ(h.violations_, 4);

  // A link that never greets is closed at the greeting's deadline.
  const size_t before = h.closed_.size();
  tcp::socket silent(io);
  silent.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), h.port()));
  ASSERT_TRUE(test::WaitUntil([&] {
    size_t open = 0;
    h.OnLoop([&] { open = h.open_sessions(); });
    return open == 1;
  }, 5000));
  h.OnLoop([&] { h.TickAll(platform::MonotonicMs() + h.limits_.greeting_ms); });
  ASSERT_TRUE(h.WaitFor([&] { return h.closed_.size() > before; }));
  EXPECT_NE(h.closed_.back().find("no \"hello\" within 5 s"), std::string::npos) << h.closed_.back();
}

}  // namespace
}  // namespace orvalinth::server
