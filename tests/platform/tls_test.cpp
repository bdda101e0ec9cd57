// TLS links of the POSIX backend (OpenSSL) over loopback in one process: our
// client against our server and against servers of the test's own (OpenSSL
// with other versions, ciphers and keys, or raw bytes), our server against
// plain and silent peers, and hostile servers after the handshake. Host only:
// the Windows backend is SChannel, and the peers here are OpenSSL.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "base/pins.h"
#include "fakes/largest_allocation.h"
#include "fakes/tls_fixtures.h"
#include "fakes/wait_until.h"
#include "platform/clock.h"
#include "platform/sockets.h"

namespace orvalinth::platform {
namespace {

using test::TlsFixture;
using test::TlsFixturePin;

constexpr int32_t kWaitMs = 10000;  // a peer that hangs shows as a time-out, not as a hung test

Sockets& net() { return Sockets::Get(); }

// A plain agent's first frame: "hello" with "ver" and "app" (24 bytes).
std::string PlainHello() { return std::string("\x18\0\0\0", 4) + "hello\xFEver\xFEQELMv1.0\xFE" "app\xFE" "6"; }

TlsClientConfig Pinned(const std::string& name, int32_t deadline_ms = kWaitMs) {
  TlsClientConfig config;
  config.pins = {TlsFixturePin(name)};
  config.deadline_ms = deadline_ms;
  return config;
}

// A TLS server of the test's own, for what ours never does: other versions
// and ciphers, refused keys, and acts after its handshake.
struct OwnServer {
  std::string key = "p256";
  int max_version = TLS1_3_VERSION;
  const char* ciphers = nullptr;              // TLS 1.2 cipher list; null: OpenSSL's own
  std::function<void(SSL*, int fd)> after;    // after a handshake that succeeded
};

void Serve(const OwnServer& own, SocketHandle s) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_security_level(context, 0);  // TLS 1.1 and RSA 1024 too
  SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(context, own.max_version);
  if (own.ciphers != nullptr) SSL_CTX_set_cipher_list(context, own.ciphers);
  EXPECT_EQ(SSL_CTX_use_certificate_file(context, TlsFixture(own.key + ".crt").c_str(), SSL_FILETYPE_PEM), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey_file(context, TlsFixture(own.key + ".key").c_str(), SSL_FILETYPE_PEM), 1);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, static_cast<int>(s));
  if (SSL_accept(ssl) == 1 && own.after) own.after(ssl, static_cast<int>(s));
  SSL_free(ssl);
  SSL_CTX_free(context);
}

bool SendAll(SocketHandle s, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const int32_t sent = net().Send(s, bytes.data() + done, static_cast<int32_t>(bytes.size() - done));
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

std::string RecvAll(SocketHandle s, size_t n) {
  std::string got(n, '\0');
  size_t done = 0;
  while (done < n) {
    const int32_t r = net().Recv(s, &got[done], static_cast<int32_t>(n - done));
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  got.resize(done);
  return got;
}

std::string Pattern(size_t n, char seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    // The own servers write with write(): a client gone must not end the tests.
    old_pipe_ = signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(net().Startup());
    listener_ = net().Listen(LoopbackAddress(), 0, 8);
    ASSERT_NE(listener_, kNoSocket);
    ASSERT_TRUE(net().LocalPort(listener_, &port_));
  }
  void TearDown() override {
    Join();
    CloseBoth();
    net().Close(listener_);
    signal(SIGPIPE, old_pipe_);
  }

  // A fresh loopback connection: client_ ours, server_ the accepted end.
  void Connect() {
    Join();
    CloseBoth();
    client_ = net().CreateTcp();
    ASSERT_TRUE(net().Connect(client_, LoopbackAddress(), port_));
    server_ = net().Accept(listener_);
    ASSERT_NE(server_, kNoSocket);
    for (SocketHandle s : {client_, server_}) {
      net().SetReceiveTimeout(s, kWaitMs);
      net().SetSendTimeout(s, kWaitMs);
    }
  }
  void OnServer(std::function<void()> script) { peer_ = std::thread(std::move(script)); }
  void Join() {
    if (peer_.joinable()) peer_.join();
  }
  void CloseBoth() {
    for (SocketHandle* s : {&client_, &server_}) {
      if (*s != kNoSocket) net().Close(*s);
      *s = kNoSocket;
    }
  }
  // Our server with the fixture identity `name`, on the peer's thread.
  void OurServer(const std::string& name, TlsFailure* failure, std::function<void()> after = nullptr) {
    std::shared_ptr<const TlsServerIdentity> identity = test::TlsFixtureIdentity(name);
    ASSERT_NE(identity, nullptr);
    OnServer([this, identity, failure, after] {
      if (net().StartTlsServer(server_, *identity, kWaitMs, failure) && after) after();
    });
  }

  SocketHandle listener_ = kNoSocket, client_ = kNoSocket, server_ = kNoSocket;
  uint16_t port_ = 0;
  std::thread peer_;
  void (*old_pipe_)(int) = SIG_DFL;
};

TEST_F(Tls, APinnedServerCarriesDataBothWays) {
  struct Case {
    const char* server;
    bool ours;
    int max_version;
    const char* description;  // the client's TlsDescription begins so
  };
  const Case cases[] = {
      {"p256", true, TLS1_3_VERSION, "TLS 1.3, TLS_AES_"},
      {"rsa2048", true, TLS1_3_VERSION, "TLS 1.3, TLS_AES_"},
      {"p256", false, TLS1_2_VERSION, "TLS 1.2, TLS_ECDHE_ECDSA_WITH_"},
      {"rsa2048", false, TLS1_2_VERSION, "TLS 1.2, TLS_ECDHE_RSA_WITH_"},
  };
  const std::string big = Pattern(300000, 'a');
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.server) + (c.ours ? " (ours)" : " (OpenSSL, TLS 1.2)"));
    Connect();
    std::string got_by_server, server_description;
    const auto script = [&](auto recv, auto send) {
      got_by_server = recv(5);
      EXPECT_TRUE(send("abcdef"));  // one record, read in two pieces below
      EXPECT_EQ(recv(2), "go");     // nothing more on the socket meanwhile
      EXPECT_TRUE(send(big));
    };
    TlsFailure server_failure;
    if (c.ours) {
      OurServer(c.server, &server_failure, [&] {
        server_description = net().TlsDescription(server_);
        script([&](size_t n) { return RecvAll(server_, n); }, [&](const std::string& b) { return SendAll(server_, b); });
      });
    } else {
      OwnServer own;
      own.key = c.server;
      own.max_version = c.max_version;
      own.after = [&](SSL* ssl, int) {
        script(
            [ssl](size_t n) {
              std::string b(n, '\0');
              return SSL_read(ssl, &b[0], static_cast<int>(n)) == static_cast<int>(n) ? b : std::string();
            },
            [ssl](const std::string& b) { return SSL_write(ssl, b.data(), static_cast<int>(b.size())) > 0; });
      };
      OnServer([this, own] { Serve(own, server_); });
    }
    TlsFailure failure;
    ASSERT_TRUE(net().StartTlsClient(client_, Pinned(c.server), &failure)) << failure.reason << ": " << failure.detail;
    const std::string description = net().TlsDescription(client_);
    EXPECT_EQ(description.rfind(c.description, 0), 0u) << description;
    EXPECT_TRUE(SendAll(client_, "hello"));
    EXPECT_EQ(RecvAll(client_, 3), "abc");
    // "def" waits decrypted inside the session, none of it on the socket.
    EXPECT_EQ(net().WaitReadable(client_, 0), 1);
    EXPECT_EQ(RecvAll(client_, 3), "def");
    EXPECT_EQ(net().WaitReadable(client_, 50), 0);
    EXPECT_TRUE(SendAll(client_, "go"));
    EXPECT_TRUE(RecvAll(client_, big.size()) == big);
    Join();
    EXPECT_EQ(got_by_server, "hello");
    if (c.ours) {
      EXPECT_EQ(server_description, description);
    }
    EXPECT_EQ(net().TlsDescription(server_).empty(), !c.ours);
  }
}

TEST_F(Tls, TheClientRefusesWhatThePolicyDoesNotAllow) {
  struct Case {
    const char* what;
    OwnServer server;  // key p256 unless given
    bool ours;         // our server with server.key instead
    const char* pinned;
    const char* reason;
    std::string detail;
  };
  const auto own = [](const char* key, int max_version = TLS1_3_VERSION, const char* ciphers = nullptr) {
    OwnServer s;
    s.key = key;
    s.max_version = max_version;
    s.ciphers = ciphers;
    return s;
  };
  const Case cases[] = {
      {"another key than the pinned", own("p256-other"), true, "p256", "pin",
       "has the pin " + PinText(TlsFixturePin("p256-other"))},
      {"RSA 1024", own("rsa1024"), false, "rsa1024", "key", "RSA of 1024 bits"},
      {"ECDSA P-384", own("p384"), false, "p384", "key", "ECDSA on secp384r1"},
      {"TLS 1.1 only", own("p256", TLS1_1_VERSION), false, "p256", "handshake", "neither TLS 1.2 nor TLS 1.3"},
      {"TLS 1.2 with CBC only", own("p256", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA"), false, "p256", "handshake", ""},
      {"TLS 1.2 without ECDHE", own("rsa2048", TLS1_2_VERSION, "AES128-GCM-SHA256"), false, "rsa2048", "handshake",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connect();
    TlsFailure server_failure;
    if (c.ours) {
      OurServer(c.server.key, &server_failure);
    } else {
      OnServer([this, s = c.server] { Serve(s, server_); });
    }
    TlsFailure failure;
    EXPECT_FALSE(net().StartTlsClient(client_, Pinned(c.pinned), &failure));
    EXPECT_EQ(failure.reason, c.reason) << failure.detail;
    EXPECT_NE(failure.detail.find(c.detail), std::string::npos) << failure.detail;
    EXPECT_EQ(net().TlsDescription(client_), "");
    // The server learns that the client gave up: it is never left waiting.
    Join();
    if (c.ours) {
      EXPECT_EQ(server_failure.reason, "handshake");
    }
  }
}

TEST_F(Tls, OurServerAgainstPeersThatSpeakNoTls) {
  struct Case {
    const char* what;
    std::string bytes;  // what the peer sends, then it waits
    bool close;         // then closes
    const char* reason;
    const char* detail;
  };
  const Case cases[] = {
      {"a plain agent's hello", PlainHello(), false, "plain", "18 00 00 00 68"},
      {"a web browser", "GET / HTTP/1.1\r\n\r\n", false, "plain", "47 45 54 20"},
      {"silence", "", false, "timeout", "no TLS handshake within 0.3 s"},
      {"half a record header", "\x16\x03", false, "timeout", "within"},
      {"a close at once", "", true, "closed", "before it sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connect();
    ASSERT_TRUE(SendAll(client_, c.bytes));
    if (c.close) net().ShutdownSend(client_);
    std::shared_ptr<const TlsServerIdentity> identity = test::TlsFixtureIdentity("p256");
    ASSERT_NE(identity, nullptr);
    TlsFailure failure;
    const int64_t started = MonotonicMs();
    EXPECT_FALSE(net().StartTlsServer(server_, *identity, 300, &failure));
    EXPECT_LT(MonotonicMs() - started, 2000);
    EXPECT_EQ(failure.reason, c.reason) << failure.detail;
    EXPECT_NE(failure.detail.find(c.detail), std::string::npos) << failure.detail;
    // The socket is still open, and nothing was sent to the peer.
    EXPECT_TRUE(net().SetReceiveTimeout(server_, 100));
    net().Close(server_);
    server_ = kNoSocket;
    char byte;
    EXPECT_LE(net().Recv(client_, &byte, 1), 0);
  }
}

TEST_F(Tls, OurClientAgainstServersThatSpeakNoTls) {
  struct Case {
    const char* what;
    std::function<void(SocketHandle)> server;
    const char* reason;
    const char* detail;
  };
  const Case cases[] = {
      {"a plain console, which reads the handshake as a frame length and closes",
       [](SocketHandle s) {
         RecvAll(s, 4);
         net().ShutdownSend(s);
       },
       "closed", "without answering the TLS handshake"},
      {"a server that answers in plain bytes", [](SocketHandle s) { SendAll(s, PlainHello()); }, "plain",
       "no TLS record (18 00 00 00 68"},
      {"a silent server", [](SocketHandle s) { RecvAll(s, 1000000); }, "timeout",
       "no TLS handshake within 0.3 s: the server sent nothing back"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connect();
    OnServer([this, &c] { c.server(server_); });
    TlsFailure failure;
    const int64_t started = MonotonicMs();
    EXPECT_FALSE(net().StartTlsClient(client_, Pinned("p256", 300), &failure));
    EXPECT_LT(MonotonicMs() - started, 2000);
    EXPECT_EQ(failure.reason, c.reason) << failure.detail;
    EXPECT_NE(failure.detail.find(c.detail), std::string::npos) << failure.detail;
    // Still a socket the caller closes: ours, blocking as before.
    net().ShutdownSend(client_);
    Join();
  }
}

// Hostile servers: each costs only its own link, in bounded time and memory.
TEST_F(Tls, AHostileServerCostsOnlyItsLink) {
  struct Case {
    const char* what;
    int max_version;
    std::function<void(SSL*, int fd)> act;  // after the handshake; null: raw bytes instead of one
    std::string raw;                        // what a raw server answers to the client's hello
    bool handshake_fails;
  };
  const std::string garbage = Pattern(4096, 'g');
  const Case cases[] = {
      {"garbage after the handshake", TLS1_3_VERSION, [&](SSL*, int fd) { send(fd, garbage.data(), garbage.size(), 0); },
       "", false},
      {"a record header announcing 64 KiB", TLS1_3_VERSION,
       [&](SSL*, int fd) {
         const std::string header = "\x17\x03\x03\xFF\xFF" + garbage;
         send(fd, header.data(), header.size(), 0);
       },
       "", false},
      {"a handshake message announcing 16 MiB", 0, nullptr,
       std::string("\x16\x03\x03\x40\x00\x02\xFF\xFF\xFF", 9) + Pattern(16380, 'h'), true},
      {"a request to renegotiate", TLS1_2_VERSION,
       [](SSL* ssl, int) {
         EXPECT_EQ(SSL_renegotiate(ssl), 1);
         SSL_do_handshake(ssl);  // sends the request
         char byte;
         // The client refuses: the renegotiation never completes.
         EXPECT_LE(SSL_read(ssl, &byte, 1), 0);
         EXPECT_EQ(SSL_renegotiate_pending(ssl), 1);
       },
       "", false},
      {"a link half closed with close_notify", TLS1_3_VERSION,
       [](SSL* ssl, int fd) {
         SSL_shutdown(ssl);
         shutdown(fd, SHUT_WR);
         char byte;
         SSL_read(ssl, &byte, 1);  // until the client closes
       },
       "", false},
      {"a link half closed without close_notify", TLS1_3_VERSION,
       [](SSL* ssl, int fd) {
         shutdown(fd, SHUT_WR);
         char byte;
         SSL_read(ssl, &byte, 1);
       },
       "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connect();
    if (c.act) {
      OwnServer own;
      own.max_version = c.max_version;
      own.after = c.act;
      OnServer([this, own] { Serve(own, server_); });
    } else {
      OnServer([this, &c] {
        RecvAll(server_, 5);  // the head of the client's hello
        SendAll(server_, c.raw);
      });
    }
    test::LargestAllocation allocations;
    const bool watched = allocations.Watch();
    const int64_t started = MonotonicMs();
    TlsFailure failure;
    const bool linked = net().StartTlsClient(client_, Pinned("p256"), &failure);
    EXPECT_EQ(linked, !c.handshake_fails) << failure.detail;
    if (linked) {
      char buffer[256];
      EXPECT_EQ(net().WaitReadable(client_, kWaitMs), 1);
      EXPECT_LE(net().Recv(client_, buffer, sizeof buffer), 0);
      net().ShutdownSend(client_);
    } else {
      EXPECT_EQ(failure.reason, "handshake");
    }
    EXPECT_LT(MonotonicMs() - started, 3000);
    const size_t largest = allocations.Stop();
    if (watched) {
      EXPECT_LT(largest, 1u << 20) << "one allocation of " << largest << " bytes";
    }
    net().Close(client_);
    client_ = kNoSocket;
    Join();
  }
}

// The agent's connection thread receives while its scan thread sends on the
// same link: OpenSSL allows one call at a time on a session.
TEST_F(Tls, OneThreadSendsWhileAnotherReceives) {
  Connect();
  const std::string up = Pattern(4 << 20, 'u'), down = Pattern(4 << 20, 'd');
  std::string got_by_server;
  TlsFailure server_failure;
  OurServer("p256", &server_failure, [&] {
    std::thread sender([&] { EXPECT_TRUE(SendAll(server_, down)); });
    got_by_server = RecvAll(server_, up.size());
    sender.join();
  });
  TlsFailure failure;
  ASSERT_TRUE(net().StartTlsClient(client_, Pinned("p256"), &failure)) << failure.detail;
  std::thread sender([&] { EXPECT_TRUE(SendAll(client_, up)); });
  const std::string got = RecvAll(client_, down.size());
  sender.join();
  Join();
  EXPECT_TRUE(got == down);
  EXPECT_TRUE(got_by_server == up);
}

// A send that cannot put all its records on the socket in time leaves them
// waiting: they go out before anything else, also while the side waits to
// receive, and no byte is lost or sent twice.
TEST_F(Tls, RecordsThatASendCouldNotPutOnTheSocketInTimeGoOutFirst) {
  Connect();
  const int small = 32 * 1024;
  setsockopt(static_cast<int>(client_), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(static_cast<int>(server_), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string up = Pattern(2 << 20, 'w');
  std::atomic<bool> go{false};
  std::atomic<size_t> sent{0};
  std::string got_by_server;
  TlsFailure server_failure;
  OurServer("p256", &server_failure, [&] {
    ASSERT_TRUE(test::WaitFor(go));
    got_by_server = RecvAll(server_, sent.load());
    SendAll(server_, "done");
  });
  TlsFailure failure;
  ASSERT_TRUE(net().StartTlsClient(client_, Pinned("p256"), &failure)) << failure.detail;
  net().SetSendTimeout(client_, 100);
  // The server reads nothing yet: the sends time out, taking some bytes
  // first (their records wait), then none.
  size_t done = 0;
  int timeouts = 0;
  while (done < up.size() && timeouts < 2) {
    const int32_t n = net().Send(client_, up.data() + done, static_cast<int32_t>(up.size() - done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      ASSERT_EQ(LastSocketError(), kWsaTimedOut);
      ++timeouts;
    }
  }
  ASSERT_EQ(timeouts, 2);
  ASSERT_LT(done, up.size());
  sent.store(done);
  go.store(true);
  // Nothing more is sent: the records waiting go out while this side waits
  // for the answer.
  EXPECT_EQ(RecvAll(client_, 4), "done");
  Join();
  EXPECT_TRUE(got_by_server == up.substr(0, done)) << got_by_server.size() << " bytes of " << done;
}

TEST(TlsKeys, IdentitiesOfTheKindsAllowed) {
  struct Case {
    const char* cert;
    const char* key;
    const char* error;  // null: loads, with the pin of `cert`
  };
  const Case cases[] = {
      {"p256", "p256", nullptr},
      {"rsa2048", "rsa2048", nullptr},
      {"rsa1024", "rsa1024", "RSA of 1024 bits: a TLS key must be RSA of 2048 bits or more or ECDSA on P-256"},
      {"p384", "p384", "ECDSA on secp384r1"},
      {"p256", "p256-other", "is not the key of the certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " with " + c.key);
    std::string error;
    std::unique_ptr<TlsServerIdentity> identity = TlsEngine::Get().LoadServerIdentity(
        TlsFixture(std::string(c.cert) + ".crt"), TlsFixture(std::string(c.key) + ".key"), &error);
    if (c.error == nullptr) {
      ASSERT_NE(identity, nullptr) << error;
      EXPECT_EQ(identity->pin(), TlsFixturePin(c.cert));
    } else {
      EXPECT_EQ(identity, nullptr);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  std::string error;
  EXPECT_EQ(TlsEngine::Get().LoadServerIdentity(TlsFixture("p256.key"), TlsFixture("p256.key"), &error), nullptr);
  EXPECT_NE(error.find("holds no PEM certificate"), std::string::npos) << error;
  EXPECT_EQ(TlsEngine::Get().LoadServerIdentity(TlsFixture("p256.crt"), TlsFixture("p256.crt"), &error), nullptr);
  EXPECT_NE(error.find("holds no PEM private key"), std::string::npos) << error;
}

TEST(TlsKeys, ThePublicKeyOfEveryFormIsTheOneTheCommandLineHashes) {
  struct Case {
    const char* file;
    const char* pin_of;  // null: no key
    const char* error;
  };
  const Case cases[] = {
      {"p256.crt", "p256", nullptr},  {"p256.der", "p256", nullptr},
      {"p256.pub", "p256", nullptr},  {"p256.key", "p256", nullptr},
      {"rsa2048.crt", "rsa2048", nullptr}, {"rsa2048.key", "rsa2048", nullptr},
      {"README.md", nullptr, "holds no certificate, public key or private key"},
      {"missing.crt", nullptr, "cannot open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<uint8_t> spki;
    std::string error;
    const bool read = TlsEngine::Get().PublicKeyInfo(TlsFixture(c.file), &spki, &error);
    ASSERT_EQ(read, c.pin_of != nullptr) << error;
    if (read) {
      EXPECT_EQ(PinOfKey(spki.data(), spki.size()), TlsFixturePin(c.pin_of));
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace orvalinth::platform

#endif  // _WIN32
