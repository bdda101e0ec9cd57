// Hostile TLS peers after a handshake that succeeded: a console that the
// agent pinned, and an agent that the TLS console accepted, turn hostile
// (bytes that are no TLS, a message announcing 16 MiB, a fatal alert, a
// frame of 16 MiB, a renegotiation, a flood of key updates, a link half
// closed and then silence). Each costs only its own link: closed with a
// reason in bounded time and memory, and the next good peer is served. The
// hostile ends are OpenSSL of the test's own, which does what ours never
// does; host only.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/largest_allocation.h"
#include "fakes/tls_fixtures.h"
#include "link/agent_fixture.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "tools/console_link.h"
#include "tools/fake_agent.h"

namespace orvalinth {
namespace {

using test::LengthPrefix;
using tools::CXConsoleLink;
using tools::LinkFailure;

constexpr int32_t kWaitMs = 10000;
// What a hostile peer may cost its link at most: far below the 30 seconds
// of a receive time-out, which would otherwise close it too.
constexpr int64_t kBoundMs = 5000;
constexpr size_t kSixteenMiB = 16u << 20;

std::string Pattern(size_t n, char seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// HKDF-Expand-Label of TLS 1.3 with SHA-256 and no context.
std::vector<uint8_t> ExpandLabel(const std::vector<uint8_t>& secret, const std::string& label, size_t length) {
  const std::string full = "tls13 " + label;
  std::vector<uint8_t> info = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                               static_cast<uint8_t>(full.size())};
  info.insert(info.end(), full.begin(), full.end());
  info.push_back(0);
  std::vector<uint8_t> out(length);
  EVP_PKEY_CTX* kdf = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  size_t size = length;
  const bool ok = kdf != nullptr && EVP_PKEY_derive_init(kdf) == 1 &&
                  EVP_PKEY_CTX_set_hkdf_md(kdf, EVP_sha256()) == 1 &&
                  EVP_PKEY_CTX_set_hkdf_mode(kdf, EVP_PKEY_HKDEF_MODE_EXPAND_ONLY) == 1 &&
                  EVP_PKEY_CTX_set1_hkdf_key(kdf, secret.data(), static_cast<int>(secret.size())) == 1 &&
                  EVP_PKEY_CTX_add1_hkdf_info(kdf, info.data(), static_cast<int>(info.size())) == 1 &&
                  EVP_PKEY_derive(kdf, out.data(), &size) == 1;
  EVP_PKEY_CTX_free(kdf);
  EXPECT_TRUE(ok && size == length);
  return out;
}

// An OpenSSL end of the test's own on a connected blocking socket: a server
// presenting the fixture key p256, or a client that checks nothing. With
// TLS 1.3 it keeps its application traffic secret, to send records made by
// hand (AES-128-GCM, the one suite it offers).
class OpenSslEnd {
 public:
  OpenSslEnd(int fd, bool server, int version) : fd_(fd), server_(server) {
    context_ = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_min_proto_version(context_, version);
    SSL_CTX_set_max_proto_version(context_, version);
    SSL_CTX_set_ciphersuites(context_, "TLS_AES_128_GCM_SHA256");
    SSL_CTX_set_keylog_callback(context_, KeyLog);
    if (server) {
      SSL_CTX_set_num_tickets(context_, 0);
      EXPECT_EQ(SSL_CTX_use_certificate_file(context_, test::TlsFixture("p256.crt").c_str(), SSL_FILETYPE_PEM), 1);
      EXPECT_EQ(SSL_CTX_use_PrivateKey_file(context_, test::TlsFixture("p256.key").c_str(), SSL_FILETYPE_PEM), 1);
    }
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd);
    SSL_set_app_data(ssl_, this);
  }
  ~OpenSslEnd() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }
  OpenSslEnd(const OpenSslEnd&) = delete;
  OpenSslEnd& operator=(const OpenSslEnd&) = delete;

  SSL* ssl() { return ssl_; }
  int fd() const { return fd_; }

  bool Handshake() { return (server_ ? SSL_accept(ssl_) : SSL_connect(ssl_)) == 1; }
  bool Write(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const size_t piece = std::min<size_t>(bytes.size() - done, 16384);  // one record each
      if (SSL_write(ssl_, bytes.data() + done, static_cast<int>(piece)) != static_cast<int>(piece)) return false;
      ++records_;
      done += piece;
    }
    return true;
  }
  bool Read(size_t n, std::string* out) {
    out->assign(n, '\0');
    for (size_t done = 0; done < n;) {
      const int got = SSL_read(ssl_, &(*out)[done], static_cast<int>(n - done));
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  }
  bool SendMessage(CXMessage& m) {
    int32_t length = 0;
    const uint8_t* frame = m.Encode(&length);
    return Write(std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length)));
  }
  bool RecvMessage(CXMessage* m) {
    std::string prefix, body;
    if (!Read(4, &prefix)) return false;
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(prefix.data()));
    if (length < 0 || length > CXTCPIPclient::kMaxBody || !Read(static_cast<size_t>(length), &body)) return false;
    std::copy(body.begin(), body.end(), m->ReserveBody(length));
    return m->Decode();
  }
  // Sends bytes on the socket past the session.
  bool SendRaw(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // One TLS 1.3 record of `type` carrying `content`, encrypted with the
  // next sequence number of this end's application traffic key.
  bool SendRecord(uint8_t type, const std::string& content) {
    EXPECT_FALSE(write_secret_.empty()) << "no TLS 1.3 traffic secret";
    const std::vector<uint8_t> key = ExpandLabel(write_secret_, "key", 16);
    std::vector<uint8_t> nonce = ExpandLabel(write_secret_, "iv", 12);
    for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<uint8_t>(records_ >> (8 * i));
    const std::string inner = content + static_cast<char>(type);
    const size_t length = inner.size() + 16;
    std::string record = {'\x17', '\x03', '\x03', static_cast<char>(length >> 8), static_cast<char>(length)};
    std::string sealed(inner.size() + 16, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&sealed[0]);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    const auto* header = reinterpret_cast<const unsigned char*>(record.data());
    const auto* plain = reinterpret_cast<const unsigned char*>(inner.data());
    int n = 0, m = 0;
    const bool ok =
        EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, key.data(), nonce.data()) == 1 &&
        EVP_EncryptUpdate(c, nullptr, &n, header, 5) == 1 &&  // the header is the additional data
        EVP_EncryptUpdate(c, out, &n, plain, static_cast<int>(inner.size())) == 1 &&
        EVP_EncryptFinal_ex(c, out + n, &m) == 1 &&
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out + inner.size()) == 1;
    EVP_CIPHER_CTX_free(c);
    EXPECT_TRUE(ok);
    ++records_;
    return SendRaw(record + sealed);
  }

 private:
  static void KeyLog(const SSL* ssl, const char* line) {
    auto* self = static_cast<OpenSslEnd*>(SSL_get_app_data(ssl));
    const std::string text = line;
    const std::string wanted = self->server_ ? "SERVER_TRAFFIC_SECRET_0 " : "CLIENT_TRAFFIC_SECRET_0 ";
    if (text.rfind(wanted, 0) == 0) self->write_secret_ = FromHex(text.substr(text.rfind(' ') + 1));
  }

  int fd_;
  bool server_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  std::vector<uint8_t> write_secret_;
  uint64_t records_ = 0;  // application records sent under write_secret_
};

// Reads what comes on the socket past any session until the other side
// closes: true when it did (an end of stream or a reset) within kWaitMs.
bool ClosedByTheOtherSide(int fd) {
  timeval tv{kWaitMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[65536];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) continue;
    return got == 0 || errno != EAGAIN;
  }
}

// What a hostile end does once the handshake is done and the greeting (or a
// command) has gone through, and how the other side tells of it.
struct Hostility {
  const char* what;
  int version;
  std::function<void(OpenSslEnd&)> act;
  // The reason of the TLS break (Sockets::TlsBreak); null when the link
  // closes for a reason of its own.
  const char* reason;
  const char* agent_says;    // in the agent's log
  const char* console_says;  // in the console's failure text
  LinkFailure console_failure;
};

const std::vector<Hostility>& Hostilities() {
  static const std::vector<Hostility> all = {
      {"bytes that are no TLS record", TLS1_3_VERSION, [](OpenSslEnd& e) { e.SendRaw(Pattern(4096, 'g')); }, "record",
       "(wrong version number)", "(wrong version number)", LinkFailure::kDropped},
      // (OpenSSL reads ahead: "encrypted length too long".)
      {"a record header announcing 64 KiB", TLS1_3_VERSION,
       [](OpenSslEnd& e) { e.SendRaw("\x17\x03\x03\xFF\xFF" + Pattern(4096, 'r')); }, "record", "length too long)",
       "length too long)", LinkFailure::kDropped},
      {"a key update announcing 16 MiB", TLS1_3_VERSION,
       [](OpenSslEnd& e) { e.SendRecord(22, "\x18\xFF\xFF\xFF" + Pattern(4000, 'k')); }, "record",
       "(excessive message size)", "(excessive message size)", LinkFailure::kDropped},
      {"a fatal alert", TLS1_3_VERSION, [](OpenSslEnd& e) { e.SendRecord(21, "\x02\x28"); },  // handshake failure
       "alert", "with an alert (", "with an alert (", LinkFailure::kDropped},
      {"a frame of 16 MiB", TLS1_3_VERSION,
       [](OpenSslEnd& e) {
         // Sent in pieces: the test's own 16 MiB would hide the link's.
         const std::string piece = Pattern(1 << 16, 'f');
         bool sent = e.Write(LengthPrefix(static_cast<int32_t>(kSixteenMiB)));
         for (size_t done = 0; sent && done < kSixteenMiB; done += piece.size()) sent = e.Write(piece);
       },
       nullptr, "disconnected from server", "frame length 16777216 outside 0..10485760", LinkFailure::kViolation},
      {"a renegotiation (TLS 1.2)", TLS1_2_VERSION,
       [](OpenSslEnd& e) {
         EXPECT_EQ(SSL_renegotiate(e.ssl()), 1);
         SSL_do_handshake(e.ssl());
       },
       "renegotiation", "asked to renegotiate", "asked to renegotiate", LinkFailure::kDropped},
      {"a flood of key updates", TLS1_3_VERSION,
       [](OpenSslEnd& e) {
         for (int i = 0; i < 100000; ++i) {
           if (SSL_key_update(e.ssl(), SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(e.ssl()) != 1) break;
         }
       },
       "flood", "more than 32 TLS messages", "more than 32 TLS messages", LinkFailure::kDropped},
      {"close_notify, then silence", TLS1_3_VERSION,
       [](OpenSslEnd& e) {
         SSL_shutdown(e.ssl());
         shutdown(e.fd(), SHUT_WR);
       },
       nullptr, "connection closed", "the agent closed the link", LinkFailure::kDropped},
      {"the end of the stream without close_notify, then silence", TLS1_3_VERSION,
       [](OpenSslEnd& e) { shutdown(e.fd(), SHUT_WR); }, nullptr, "connection closed", "the agent closed the link",
       LinkFailure::kDropped},
  };
  return all;
}

// The console's side of the greeting, from the TLS console end.
bool GreetAsConsole(OpenSslEnd& end) {
  CXMessage hello, answer, info;
  answer.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 1);
  return end.Handshake() && end.RecvMessage(&hello) && hello.IsNamed("hello") && end.SendMessage(answer) &&
         end.RecvMessage(&info) && info.IsNamed("info");
}

// The agent's side of the greeting, from the TLS agent end, then the
// console's first command.
bool GreetAsAgent(OpenSslEnd& end) {
  CXMessage hello, answer, info, command;
  hello.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 6);
  test::FakeAgent::DefaultInfo(&info);
  return end.Handshake() && end.SendMessage(hello) && end.RecvMessage(&answer) && end.SendMessage(info) &&
         end.RecvMessage(&command);
}

class HostileTls : public test::AgentTest {
 protected:
  // The OpenSSL ends write with write(): a side gone must not end the tests.
  void SetUp() override { old_pipe_ = signal(SIGPIPE, SIG_IGN); }
  void TearDown() override { signal(SIGPIPE, old_pipe_); }

  void (*old_pipe_)(int) = SIG_DFL;
};

TEST_F(HostileTls, AHostileConsoleCostsTheAgentOnlyThatLink) {
  WriteSettings(test::TlsSettings("p256"));
  StartAgent();
  for (const Hostility& h : Hostilities()) {
    SCOPED_TRACE(h.what);
    MarkLog();
    bool greeted = false, closed = false;
    int64_t cost_ms = 0;
    test::LargestAllocation allocations;
    const bool watched = allocations.Watch();
    peer_.Serve([&](test::TestPeer& p) {
      OpenSslEnd end(static_cast<int>(p.connection()), /*server=*/true, h.version);
      greeted = GreetAsConsole(end);
      if (greeted) {
        const int64_t started = platform::MonotonicMs();
        h.act(end);
        closed = ClosedByTheOtherSide(end.fd());
        cost_ms = platform::MonotonicMs() - started;
      }
      p.CloseConnection();
    });
    peer_.Join();
    const size_t largest = allocations.Stop();
    ASSERT_TRUE(greeted);
    EXPECT_TRUE(closed);
    EXPECT_LT(cost_ms, kBoundMs);
    if (watched) {
      EXPECT_LT(largest, 1u << 20) << "one allocation of " << largest << " bytes";
    }
    EXPECT_TRUE(test::WaitUntil([&] { return LogSinceMark().find(h.agent_says) != std::string::npos; }))
        << LogSinceMark();
    const std::string broke = h.reason != nullptr ? "broke: " + std::string(h.reason) + " (" : "broke:";
    EXPECT_EQ(LogSinceMark().find(broke) != std::string::npos, h.reason != nullptr) << LogSinceMark();
  }
  // The agent comes back to a console that behaves.
  bool greeted = false;
  peer_.Serve([&](test::TestPeer& p) {
    OpenSslEnd end(static_cast<int>(p.connection()), /*server=*/true, TLS1_3_VERSION);
    greeted = GreetAsConsole(end);
    p.CloseConnection();
  });
  peer_.Join();
  EXPECT_TRUE(greeted);
}

TEST_F(HostileTls, AHostileAgentCostsTheConsoleOnlyThatLink) {
  CXConsoleLink console;
  ASSERT_TRUE(console.Listen("127.0.0.1", 0)) << console.failure_text();
  console.set_reply_timeout_ms(30000);
  console.set_tls_identity(test::TlsFixtureIdentity("p256"));
  platform::TlsClientConfig pinned;
  pinned.pins = {test::TlsFixturePin("p256")};
  for (const Hostility& h : Hostilities()) {
    SCOPED_TRACE(h.what);
    bool commanded = false, closed = false;
    std::atomic<int64_t> started{0};
    std::thread agent([&] {
      platform::Sockets& net = platform::Sockets::Real();
      const platform::SocketHandle s = net.CreateTcp();
      if (net.Connect(s, platform::LoopbackAddress(), console.port())) {
        net.SetReceiveTimeout(s, kWaitMs);
        net.SetSendTimeout(s, kWaitMs);
        OpenSslEnd end(static_cast<int>(s), /*server=*/false, h.version);
        commanded = GreetAsAgent(end);
        if (commanded) {
          started.store(platform::MonotonicMs());
          h.act(end);
          closed = ClosedByTheOtherSide(end.fd());
        }
      }
      net.Close(s);
    });
    test::LargestAllocation allocations;
    const bool watched = allocations.Watch();
    EXPECT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text();
    CXMessage request, reply;
    request.Init("get-disk");
    EXPECT_FALSE(console.Request("get-disk", request, &reply));
    const int64_t cost_ms = platform::MonotonicMs() - started.load();
    const size_t largest = allocations.Stop();
    agent.join();
    ASSERT_TRUE(commanded);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(console.connected());
    EXPECT_LT(cost_ms, kBoundMs);
    if (watched) {
      EXPECT_LT(largest, 1u << 20) << "one allocation of " << largest << " bytes";
    }
    EXPECT_EQ(console.failure(), h.console_failure) << console.failure_text();
    EXPECT_NE(console.failure_text().find(h.console_says), std::string::npos) << console.failure_text();
    if (h.reason != nullptr) {
      EXPECT_EQ(console.failure_text().rfind("the TLS link broke (" + std::string(h.reason) + ": ", 0), 0u)
          << console.failure_text();
    }

    // The next agent, which behaves, is served.
    test::FakeAgent good;
    good.set_tls(pinned);
    good.Run([port = console.port()](test::FakeAgent& a) {
      std::string body;
      if (!a.Connect(port) || !a.Greet() || !a.RecvCommand(&body)) return;
      CXMessage m;
      a.Send(m.Init("get-disk").AddString("disk", "c1"));
      a.WaitClosed();
    });
    ASSERT_TRUE(console.AcceptAgent(kWaitMs)) << console.failure_text();
    EXPECT_TRUE(console.Request("get-disk", request, &reply)) << console.failure_text();
    console.Close();
    good.Join();
  }
}

}  // namespace
}  // namespace orvalinth

#endif  // _WIN32
