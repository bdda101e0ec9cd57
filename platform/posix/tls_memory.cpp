// The fleet server's TLS sessions: OpenSSL over memory BIOs, the bytes
// carried by the server's event loop.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/tls_session.h"

namespace orvalinth::platform::posix {
namespace {

class MemoryServer final : public TlsMemoryServer {
 public:
  explicit MemoryServer(SSL* ssl) : ssl_(ssl) {
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(incoming_, -1);  // an empty buffer is "wait", not the end
    SSL_set_bio(ssl_, incoming_, outgoing_);
    SSL_set_accept_state(ssl_);
    // Idle sessions hold no record buffers.
    SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
    WatchTlsMessages(ssl_, &watch_);
  }
  ~MemoryServer() override { SSL_free(ssl_); }

  bool Feed(const uint8_t* bytes, size_t n) override {
    if (!failure_.reason.empty()) return false;
    if (watch_.first_size < sizeof watch_.first) {
      const size_t take = std::min(n, sizeof watch_.first - watch_.first_size);
      std::memcpy(watch_.first + watch_.first_size, bytes, take);
      watch_.first_size += take;
    }
    if (!open_ && !PeerCanBeTls(watch_, /*client=*/false)) {
      failure_ = ClassifyHandshake(watch_, nullptr, SSL_ERROR_SSL);
      return false;
    }
    if (n > 0 && BIO_write(incoming_, bytes, static_cast<int>(n)) != static_cast<int>(n)) {
      failure_ = {"handshake", "out of memory for the peer's bytes"};
      return false;
    }
    return open_ || Advance();
  }

  bool open() const override { return open_; }
  bool peer_closed() const override { return peer_closed_; }

  bool Read(std::string* out) override {
    if (!failure_.reason.empty()) return false;
    if (!open_) return true;
    char buffer[16384];
    for (;;) {
      ERR_clear_error();
      const int r = SSL_read(ssl_, buffer, sizeof buffer);
      if (r > 0) {
        watch_.messages_without_data = 0;
        out->append(buffer, static_cast<size_t>(r));
        continue;
      }
      if (!watch_.refusal.reason.empty()) {
        failure_ = watch_.refusal;
        return false;
      }
      const int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ) return true;
      if (e == SSL_ERROR_ZERO_RETURN) {
        peer_closed_ = true;
        return true;
      }
      // A renegotiation the policy refuses, a flood, a record beyond the
      // limits, a record that does not authenticate: the session ends.
      failure_ = !watch_.refusal.reason.empty() ? watch_.refusal
                                               : TlsFailure{"record", "the TLS stream broke: " + OpenSslErrors("no reason given")};
      return false;
    }
  }

  bool Write(const uint8_t* bytes, size_t n) override {
    if (!failure_.reason.empty() || !open_) return false;
    size_t done = 0;
    while (done < n) {
      ERR_clear_error();
      const int chunk = static_cast<int>(std::min<size_t>(n - done, 1 << 20));
      const int r = SSL_write(ssl_, bytes + done, chunk);
      if (r <= 0) {
        failure_ = {"handshake", "cannot encrypt: " + OpenSslErrors("no reason given")};
        return false;
      }
      done += static_cast<size_t>(r);
    }
    return true;
  }

  void Close() override {
    if (!open_ || !failure_.reason.empty() || closed_) return;
    closed_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }

  void TakeOutput(std::string* out) override {
    char* data = nullptr;
    const long n = BIO_get_mem_data(outgoing_, &data);
    if (n > 0) out->append(data, static_cast<size_t>(n));
    (void)BIO_reset(outgoing_);
  }

  const TlsFailure& failure() const override { return failure_; }

  std::string Description() const override {
    if (!open_) return std::string();
    std::string version = SSL_get_version(ssl_);
    if (version.rfind("TLSv", 0) == 0) version = "TLS " + version.substr(4);
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    return version + ", " + (cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : "no cipher");
  }

 private:
  bool Advance() {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
      open_ = true;
      watch_.established = true;
      return true;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
    failure_ = ClassifyHandshake(watch_, nullptr, e);
    return false;
  }

  SSL* ssl_;
  BIO* incoming_ = nullptr;  // owned by ssl_
  BIO* outgoing_ = nullptr;
  WireWatch watch_;
  TlsFailure failure_;
  bool open_ = false;
  bool closed_ = false;
  bool peer_closed_ = false;
};

}  // namespace

std::unique_ptr<TlsMemoryServer> NewMemoryServer(SSL_CTX* context) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  return std::make_unique<MemoryServer>(ssl);
}

}  // namespace orvalinth::platform::posix
