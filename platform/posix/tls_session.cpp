// TLS sessions on POSIX (OpenSSL 3): the handshakes and the I/O of a TLS
// socket. OpenSSL reads and writes the socket through a BIO of our own, which
// sends with MSG_NOSIGNAL (a socket BIO's write() would raise SIGPIPE on a
// link the peer broke) and notes the first bytes and the end of the stream.

#include "platform/posix/tls_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <openssl/err.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/sockets.h"

namespace orvalinth::platform::posix {
namespace {

constexpr int64_t kNoLimit = -1;
constexpr int64_t kNotYet = -2;
// How many bytes of records a Send gathers before it puts them on the
// socket (a 128 KiB block of a download and its frame in one go), and how
// many may wait at most before a record of a read waits for the socket.
constexpr size_t kGatherBytes = 160 * 1024;
constexpr size_t kMostWaiting = 2 * kGatherBytes;

int WireWrite(BIO* bio, const char* data, int n) {
  auto* wire = static_cast<WireWatch*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (wire->gather || !wire->out.empty()) {
    if (!wire->gather && wire->out.size() >= kMostWaiting) {
      BIO_set_retry_write(bio);
      return -1;
    }
    wire->out.append(data, static_cast<size_t>(n));
    return n;
  }
  ssize_t sent;
  do {
    sent = send(wire->fd, data, static_cast<size_t>(n), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int WireRead(BIO* bio, char* data, int n) {
  auto* wire = static_cast<WireWatch*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  // A refused peer is read no further: OpenSSL's read fails at once.
  if (!wire->refusal.reason.empty()) return -1;
  ssize_t got;
  do {
    got = recv(wire->fd, data, static_cast<size_t>(n), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  if (got == 0) wire->end_of_stream = true;
  for (ssize_t i = 0; i < got && wire->first_size < sizeof wire->first; ++i) {
    wire->first[wire->first_size++] = static_cast<uint8_t>(data[i]);
  }
  return static_cast<int>(got);
}

// OpenSSL asks BIO_eof after a read of nothing: only then does an end of
// stream without close_notify read as the peer's close
// (SSL_OP_IGNORE_UNEXPECTED_EOF) instead of a failure without a reason.
long WireControl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;
  if (command == BIO_CTRL_EOF) return static_cast<WireWatch*>(BIO_get_data(bio))->end_of_stream ? 1 : 0;
  return 0;
}

BIO_METHOD* WireMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvalinth socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, WireWrite);
      BIO_meth_set_read(m, WireRead);
      BIO_meth_set_ctrl(m, WireControl);
    }
    return m;
  }();
  return method;
}

// How many TLS messages without data a peer may send in a row after the
// handshake (TLS 1.3's key updates and tickets): a peer that behaves sends
// one now and then, a hostile one without end, each costing this side a
// record to decrypt, a key to derive and an answer.
constexpr int kMostMessagesWithoutData = 32;

// OpenSSL's message callback: every TLS message, both ways.
void WatchMessages(int sent, int, int content_type, const void* bytes, size_t size, SSL*, void* arg) {
  auto* wire = static_cast<WireWatch*>(arg);
  const auto* b = static_cast<const uint8_t*>(bytes);
  if (!wire->refusal.reason.empty()) return;
  // OpenSSL answers a request to renegotiate (TLS 1.2: a server's hello
  // request, a client's second hello) with this warning, and would go on.
  if (sent && content_type == SSL3_RT_ALERT && size >= 2 && b[1] == SSL_AD_NO_RENEGOTIATION) {
    wire->refusal = {"renegotiation", "the peer asked to renegotiate the TLS session, which this link never does"};
  } else if (!sent && content_type == SSL3_RT_HANDSHAKE && wire->established &&
             ++wire->messages_without_data > kMostMessagesWithoutData) {
    wire->refusal = {"flood", "the peer sent more than " + std::to_string(kMostMessagesWithoutData) +
                                  " TLS messages (key updates, tickets) without data between them"};
  }
}

// The socket time-out `option` (SO_RCVTIMEO, SO_SNDTIMEO) as a deadline.
int64_t DeadlineOf(int fd, int option) {
  timeval tv{};
  socklen_t size = sizeof tv;
  if (getsockopt(fd, SOL_SOCKET, option, &tv, &size) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0)) return kNoLimit;
  return MonotonicMs() + static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// Waits for `events` until the deadline: 1 ready, 0 time-out, -1 error.
int PollUntil(int fd, short events, int64_t deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int wait = -1;
    if (deadline != kNoLimit) {
      const int64_t left = deadline - MonotonicMs();
      wait = left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
    }
    const int n = poll(&p, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && (p.revents & POLLNVAL) != 0) return -1;
    return n < 0 ? -1 : n;
  }
}

// What an operation that has to wait for the socket waits for.
short EventsFor(int ssl_error) { return ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN; }
bool MustWait(int ssl_error) { return ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE; }

// Whether what the peer sent first can begin a TLS record: a server must
// see a handshake record (22), a client a handshake or an alert (21); then
// the major version 3. Nothing received yet passes.
bool CanBeTls(const WireWatch& wire, bool client) {
  if (wire.first_size == 0) return true;
  const uint8_t type = wire.first[0];
  if (type != 22 && !(client && type == 21)) return false;
  return wire.first_size < 2 || wire.first[1] == 3;
}

std::string Hex(const WireWatch& wire) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < wire.first_size; ++i) {
    std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X", wire.first[i]);
    text += piece;
  }
  return text;
}

std::string Seconds(int32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, ms % 1000 == 0 ? "%.0f s" : "%.3g s", ms / 1000.0);
  return text;
}

// Why a handshake failed, from what the socket saw and OpenSSL's reasons.
TlsFailure Classify(const WireWatch& wire, const PinCheck* pins, int ssl_error) {
  const bool client = pins != nullptr;
  if (!CanBeTls(wire, client)) {
    return {"plain", client ? "the server answered with bytes that are no TLS record (" + Hex(wire) +
                                  "): it speaks the plain protocol"
                            : "the peer's first bytes (" + Hex(wire) +
                                  ") are no TLS handshake record: it speaks the plain protocol"};
  }
  if (client && !pins->reason.empty()) {
    ERR_clear_error();
    return {pins->reason, pins->detail};
  }
  if (wire.end_of_stream) {
    ERR_clear_error();
    if (wire.first_size > 0) return {"closed", "the peer closed the link during the TLS handshake"};
    return {"closed", client ? "the server closed the link without answering the TLS handshake (as a server that "
                               "does not speak TLS does)"
                             : "the peer closed the link before it sent a TLS handshake"};
  }
  const std::string system = ssl_error == SSL_ERROR_SYSCALL && errno != 0 ? std::strerror(errno) : "no reason given";
  const std::string reasons = OpenSslErrors(system);
  if (reasons.find("protocol version") != std::string::npos || reasons.find("unsupported protocol") != std::string::npos) {
    return {"handshake", "the peer allows neither TLS 1.2 nor TLS 1.3 (" + reasons + ")"};
  }
  if (reasons.find("bad certificate") != std::string::npos) {
    return {"handshake", "the peer refused this side's certificate (" + reasons + ")"};
  }
  return {"handshake", "the TLS handshake failed: " + reasons};
}

}  // namespace

void WatchTlsMessages(SSL* ssl, WireWatch* wire) {
  SSL_set_msg_callback(ssl, WatchMessages);
  SSL_set_msg_callback_arg(ssl, wire);
}

TlsFailure ClassifyHandshake(const WireWatch& wire, const PinCheck* pins, int ssl_error) {
  return Classify(wire, pins, ssl_error);
}
bool PeerCanBeTls(const WireWatch& wire, bool client) { return CanBeTls(wire, client); }

TlsSession::~TlsSession() {
  if (ssl_ != nullptr) SSL_free(ssl_);
}

std::shared_ptr<TlsSession> TlsSession::Connect(int fd, const TlsClientConfig& config, TlsFailure* failure) {
  SSL_CTX* context = ClientContext();
  if (context == nullptr) {
    *failure = {"unavailable", "OpenSSL cannot make a TLS client: " + OpenSslErrors("no reason given")};
    return nullptr;
  }
  if (config.pins.empty()) {
    *failure = {"pin", "no pin is given, and a TLS link trusts pinned keys only"};
    return nullptr;
  }
  PinCheck check;
  check.pins = &config.pins;
  return Handshake(fd, context, &check, config.server_name, config.deadline_ms, failure);
}

std::shared_ptr<TlsSession> TlsSession::Accept(int fd, const TlsServerIdentity& identity, int32_t deadline_ms,
                                               TlsFailure* failure) {
  SSL_CTX* context = ServerContextOf(identity);
  if (context == nullptr) {
    *failure = {"unavailable", "the identity was not loaded by this system's TLS engine"};
    return nullptr;
  }
  return Handshake(fd, context, nullptr, std::string(), deadline_ms, failure);
}

std::shared_ptr<TlsSession> TlsSession::Handshake(int fd, SSL_CTX* context, PinCheck* pins,
                                                  const std::string& server_name, int32_t deadline_ms,
                                                  TlsFailure* failure) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    *failure = {"handshake", std::string("the socket cannot be used: ") + std::strerror(errno)};
    return nullptr;
  }
  ERR_clear_error();
  std::shared_ptr<TlsSession> session(new TlsSession(fd));
  SSL* ssl = session->ssl_ = SSL_new(context);
  BIO* bio = ssl == nullptr || WireMethod() == nullptr ? nullptr : BIO_new(WireMethod());
  if (bio == nullptr) {
    *failure = {"unavailable", "OpenSSL cannot make a TLS session: " + OpenSslErrors("no reason given")};
    return nullptr;
  }
  BIO_set_data(bio, &session->wire_);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_msg_callback(ssl, WatchMessages);
  SSL_set_msg_callback_arg(ssl, &session->wire_);
  if (pins != nullptr) {
    SSL_set_connect_state(ssl);
    SSL_set_ex_data(ssl, PinCheckIndex(), pins);
    if (!server_name.empty()) SSL_set_tlsext_host_name(ssl, server_name.c_str());
  } else {
    SSL_set_accept_state(ssl);
  }
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const int64_t deadline = deadline_ms > 0 ? MonotonicMs() + deadline_ms : kNoLimit;
  bool done = false;
  for (;;) {
    errno = 0;
    const int r = SSL_do_handshake(ssl);
    if (r == 1) {
      done = true;
      session->wire_.established = true;
      break;
    }
    const int e = SSL_get_error(ssl, r);
    // A plain peer is known by its first bytes, before OpenSSL waits for a
    // whole record header that may never come.
    if (!MustWait(e) || !CanBeTls(session->wire_, pins != nullptr)) {
      *failure = Classify(session->wire_, pins, e);
      break;
    }
    const int ready = PollUntil(fd, EventsFor(e), deadline);
    if (ready < 0) {
      *failure = {"handshake", std::string("waiting for the socket failed: ") + std::strerror(errno)};
      break;
    }
    if (ready == 0) {
      *failure = {"timeout", "no TLS handshake within " + Seconds(deadline_ms)};
      if (pins != nullptr && session->wire_.first_size == 0) {
        failure->detail += ": the server sent nothing back (as a server that does not speak TLS does)";
      }
      break;
    }
  }
  ERR_clear_error();
  if (done && pins != nullptr && !pins->Check(SSL_get0_peer_certificate(ssl))) {
    *failure = {pins->reason, pins->detail};
    done = false;
  }
  SSL_set_ex_data(ssl, PinCheckIndex(), nullptr);  // the check lives on the caller's stack
  if (!done) {
    fcntl(fd, F_SETFL, flags);
    return nullptr;
  }
  return session;
}

int32_t TlsSession::Send(const void* bytes, int32_t n) {
  if (n == 0) return 0;
  const char* from = static_cast<const char*>(bytes);
  int64_t deadline = kNotYet;
  int32_t taken = 0;  // bytes of this call made into records
  for (;;) {
    short events = POLLOUT;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (sent_close_ || broken_) {
        SetLastSocketError(sent_close_ ? kWsaShutdown : kWsaConnReset);
        return -1;
      }
      if (!FlushSome()) break;
      if (wire_.out.empty() && taken > 0) return taken;
      if (wire_.out.empty()) {
        // Records of an earlier call went first; now this call's.
        int r = 0, e = SSL_ERROR_NONE;
        ERR_clear_error();
        wire_.gather = true;
        while (taken < n && wire_.out.size() < kGatherBytes) {
          errno = 0;
          r = SSL_write(ssl_, from + taken, n - taken);
          if (r <= 0) {
            e = SSL_get_error(ssl_, r);
            break;
          }
          taken += r;
        }
        wire_.gather = false;
        if (r <= 0 && !MustWait(e)) NoteBreak(e);
        ERR_clear_error();
        if (broken_ || !FlushSome()) break;
        if (wire_.out.empty() && taken > 0) return taken;
        // Nothing made: OpenSSL waits for the socket, and the same bytes
        // offered again finish what it began.
        if (taken == 0) events = EventsFor(e);
      }
    }
    if (deadline == kNotYet) deadline = DeadlineOf(wire_.fd, SO_SNDTIMEO);
    const int ready = PollUntil(wire_.fd, events, deadline);
    if (ready == 0) {
      if (taken > 0) return taken;  // its records wait for the next operation
      SetLastSocketError(kWsaTimedOut);
      return -1;
    }
    if (ready < 0) break;
  }
  SetLastSocketError(kWsaConnReset);
  return -1;
}

bool TlsSession::FlushSome() {
  size_t done = 0;
  while (done < wire_.out.size()) {
    const ssize_t sent = send(wire_.fd, wire_.out.data() + done, wire_.out.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    broken_ = true;
    wire_.out.clear();
    return false;
  }
  wire_.out.erase(0, done);
  return true;
}

int32_t TlsSession::Recv(void* buffer, int32_t n) {
  if (n == 0) return 0;
  int64_t deadline = kNotYet;
  for (;;) {
    int r, e;
    bool waiting;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!wire_.out.empty()) FlushSome();
      ERR_clear_error();
      errno = 0;
      r = SSL_read(ssl_, buffer, n);
      e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
      if (r > 0) wire_.messages_without_data = 0;
      if (r <= 0 && !MustWait(e) && e != SSL_ERROR_ZERO_RETURN) NoteBreak(e);
      ERR_clear_error();
      waiting = !wire_.out.empty();
    }
    if (r > 0) return r;
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (!MustWait(e)) break;
    if (deadline == kNotYet) deadline = DeadlineOf(wire_.fd, SO_RCVTIMEO);
    const int ready = PollUntil(wire_.fd, EventsFor(e) | (waiting ? POLLOUT : 0), deadline);
    if (ready == 0) {
      SetLastSocketError(kWsaTimedOut);
      return -1;
    }
    if (ready < 0) break;
  }
  SetLastSocketError(kWsaConnReset);
  return -1;
}

int TlsSession::WaitReadable(int32_t milliseconds) {
  const int64_t deadline = MonotonicMs() + (milliseconds < 0 ? 0 : milliseconds);
  for (;;) {
    int r, e;
    bool waiting;
    {
      // A peek takes what the socket holds and decrypts it: readable only
      // when a record brought data (or the end, or an error for Recv to
      // tell), not for a record without data or a part of one.
      std::lock_guard<std::mutex> guard(lock_);
      if (broken_) return 1;
      if (!wire_.out.empty()) FlushSome();
      ERR_clear_error();
      char byte;
      errno = 0;
      r = SSL_peek(ssl_, &byte, 1);
      e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
      if (r > 0) wire_.messages_without_data = 0;
      // OpenSSL tells the reason of a failure once: it is kept for Break.
      if (r <= 0 && !MustWait(e) && e != SSL_ERROR_ZERO_RETURN) NoteBreak(e);
      ERR_clear_error();
      waiting = !wire_.out.empty();
    }
    if (r > 0 || !MustWait(e)) return 1;
    const int ready = PollUntil(wire_.fd, EventsFor(e) | (waiting ? POLLOUT : 0), deadline);
    if (ready == 0) return 0;
    if (ready < 0) {
      SetLastSocketError(errno == 0 || errno == EBADF ? kWsaNotSocket : kWsaConnReset);
      return -1;
    }
  }
}

bool TlsSession::ShutdownSend() {
  int64_t deadline = kNotYet;
  for (;;) {
    short events = POLLOUT;
    {
      // The records waiting go first, then the close_notify.
      std::lock_guard<std::mutex> guard(lock_);
      if (broken_ || !FlushSome()) break;
      if (!sent_close_) {
        ERR_clear_error();
        const int r = SSL_shutdown(ssl_);
        const int e = r >= 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
        ERR_clear_error();
        if (MustWait(e)) {
          events = EventsFor(e);
        } else {
          sent_close_ = true;
          if (!FlushSome()) break;
        }
      }
      if (sent_close_ && wire_.out.empty()) break;
    }
    if (deadline == kNotYet) deadline = DeadlineOf(wire_.fd, SO_SNDTIMEO);
    if (PollUntil(wire_.fd, events, deadline) <= 0) break;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    sent_close_ = true;
  }
  if (shutdown(wire_.fd, SHUT_WR) != 0) {
    SetLastSocketError(kWsaNotConnected);
    return false;
  }
  return true;
}

void TlsSession::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (broken_) return;
  if (!sent_close_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // the close_notify
    ERR_clear_error();
    sent_close_ = true;
  }
  FlushSome();  // what the socket takes at once
}

void TlsSession::NoteBreak(int ssl_error) {
  if (broken_) return;
  broken_ = true;
  if (!wire_.refusal.reason.empty()) {
    break_ = wire_.refusal;
    return;
  }
  const int system = errno;
  const std::string reasons = OpenSslErrors(std::string());
  if (reasons.find("alert") != std::string::npos) {
    break_ = {"alert", "the peer ended the TLS session with an alert (" + reasons + ")"};
  } else if (!reasons.empty()) {
    break_ = {"record", "the peer sent what is no valid TLS record of this session (" + reasons + ")"};
  } else if (ssl_error != SSL_ERROR_SYSCALL || system == 0) {
    break_ = {"record", "the TLS session failed (OpenSSL gives no reason)"};
  }
  // A failure of the socket itself (a reset, a broken pipe) is no TLS break.
}

TlsFailure TlsSession::Break() {
  std::lock_guard<std::mutex> guard(lock_);
  return break_;
}

std::string TlsSession::Description() {
  std::lock_guard<std::mutex> guard(lock_);
  std::string version = SSL_get_version(ssl_);
  if (version.rfind("TLSv", 0) == 0) version = "TLS " + version.substr(4);
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
  return version + ", " + (cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : "no cipher");
}

}  // namespace orvalinth::platform::posix
