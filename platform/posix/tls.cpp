// TLS on POSIX: OpenSSL 3's libssl. The engine: the contexts of the policy
// (platform/tls.h), the keys it allows, server identities and the public key
// of a file. The sessions are tls_session.cpp's.

#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/tls_session.h"

namespace orvalinth::platform {
namespace posix {
namespace {

// TLS 1.2: ephemeral ECDH only, AEAD ciphers only (the server's order).
constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
// TLS 1.3: every suite is AEAD with ephemeral keys; CCM is left out.
constexpr char kTls13Suites[] = "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";
constexpr char kGroups[] = "X25519:P-256:P-384";
constexpr size_t kMaxKeyFileSize = 1 << 20;
constexpr size_t kReadBuffer = 128 * 1024;

// A PEM reader that is never asked for a passphrase: an encrypted key simply
// does not read (OpenSSL would otherwise prompt on the terminal).
int NoPassphrase(char*, int, int, void*) { return 0; }

struct Freer {
  void operator()(BIO* b) const { BIO_free(b); }
  void operator()(X509* x) const { X509_free(x); }
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
template <class T>
using Owned = std::unique_ptr<T, Freer>;

SSL_CTX* NewContext(bool server) {
  SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  // The system's configuration may raise the security level (Debian's to 2),
  // which would refuse a short key inside the handshake without saying why;
  // the check of the key (KeyRefusal) is stricter than any level and says so.
  SSL_CTX_set_security_level(context, 1);
  SSL_CTX_set_cipher_list(context, kTls12Ciphers);
  SSL_CTX_set_ciphersuites(context, kTls13Suites);
  SSL_CTX_set1_groups_list(context, kGroups);
  // A peer's end of stream without close_notify reads as its close: every
  // frame carries its length, so a cut frame is still seen as one.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET |
                                   SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  // A send returns after each record, and a send that timed out may be
  // offered again from another address with the same bytes.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A read takes what the socket holds, several records at once, instead of
  // a header and then its record (two system calls for each 16 KiB).
  SSL_CTX_set_read_ahead(context, 1);
  SSL_CTX_set_default_read_buffer_len(context, kReadBuffer);
  if (server) SSL_CTX_set_num_tickets(context, 0);
  return context;
}

// The client's whole check of the server's certificate: no chain, no
// authority, no names or dates, only the key (see PinCheck::Check).
int CheckServerKey(X509_STORE_CTX* store, void*) {
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  PinCheck* check = ssl == nullptr ? nullptr : static_cast<PinCheck*>(SSL_get_ex_data(ssl, PinCheckIndex()));
  if (check == nullptr || !check->Check(X509_STORE_CTX_get0_cert(store))) {
    // The server is told "bad certificate".
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
  }
  return 1;
}

std::string Base64(const std::vector<uint8_t>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return text;
}

bool SpkiOf(EVP_PKEY* key, std::vector<uint8_t>* spki) {
  unsigned char* der = nullptr;
  const int n = key == nullptr ? -1 : i2d_PUBKEY(key, &der);
  if (n <= 0) return false;
  spki->assign(der, der + n);
  OPENSSL_free(der);
  return true;
}

Sha256Digest PinOf(const std::vector<uint8_t>& spki) { return Crypto::Get().Sha256(spki.data(), spki.size()); }

bool ReadSmallFile(const std::string& path, const char* what, std::string* bytes, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open the " + std::string(what) + " " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && bytes->size() <= kMaxKeyFileSize) {
    bytes->append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || bytes->size() > kMaxKeyFileSize) {
    *error = "cannot read the " + std::string(what) + " " + path + (failed ? ": read error" : ": larger than 1 MiB");
    return false;
  }
  return true;
}

Owned<BIO> MemoryOf(const std::string& bytes) {
  return Owned<BIO>(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// The key in a file's bytes: a PEM or DER certificate, public key or private key.
Owned<EVP_PKEY> KeyOf(const std::string& bytes) {
  if (Owned<X509> x{PEM_read_bio_X509(MemoryOf(bytes).get(), nullptr, NoPassphrase, nullptr)}) {
    return Owned<EVP_PKEY>(X509_get_pubkey(x.get()));
  }
  if (Owned<EVP_PKEY> k{PEM_read_bio_PUBKEY(MemoryOf(bytes).get(), nullptr, NoPassphrase, nullptr)}) return k;
  if (Owned<EVP_PKEY> k{PEM_read_bio_PrivateKey(MemoryOf(bytes).get(), nullptr, NoPassphrase, nullptr)}) return k;
  const auto der = [&bytes] { return reinterpret_cast<const unsigned char*>(bytes.data()); };
  const long size = static_cast<long>(bytes.size());
  const unsigned char* p = der();
  if (Owned<X509> x{d2i_X509(nullptr, &p, size)}) return Owned<EVP_PKEY>(X509_get_pubkey(x.get()));
  p = der();
  if (Owned<EVP_PKEY> k{d2i_PUBKEY(nullptr, &p, size)}) return k;
  p = der();
  return Owned<EVP_PKEY>(d2i_AutoPrivateKey(nullptr, &p, size));
}

constexpr char kAllowedKeys[] = "a TLS key must be RSA of 2048 bits or more or ECDSA on P-256";

class PosixServerIdentity final : public TlsServerIdentity {
 public:
  PosixServerIdentity(Owned<SSL_CTX> context, Sha256Digest pin) : context_(std::move(context)), pin_(pin) {}
  Sha256Digest pin() const override { return pin_; }
  SSL_CTX* context() const { return context_.get(); }

 private:
  Owned<SSL_CTX> context_;
  Sha256Digest pin_;
};

class PosixTls final : public TlsEngine {
 public:
  bool Available() override { return ClientContext() != nullptr; }

  std::unique_ptr<TlsServerIdentity> LoadServerIdentity(const std::string& certificate_file,
                                                        const std::string& key_file, std::string* error) override {
    ERR_clear_error();
    std::string cert_bytes, key_bytes;
    if (!ReadSmallFile(certificate_file, "certificate file", &cert_bytes, error) ||
        !ReadSmallFile(key_file, "key file", &key_bytes, error)) {
      return nullptr;
    }
    Owned<X509> certificate{PEM_read_bio_X509(MemoryOf(cert_bytes).get(), nullptr, NoPassphrase, nullptr)};
    Owned<EVP_PKEY> key{PEM_read_bio_PrivateKey(MemoryOf(key_bytes).get(), nullptr, NoPassphrase, nullptr)};
    ERR_clear_error();
    if (certificate == nullptr) {
      *error = certificate_file + " holds no PEM certificate";
      return nullptr;
    }
    if (key == nullptr) {
      *error = key_file + " holds no PEM private key that can be read without a passphrase";
      return nullptr;
    }
    const std::string refusal = KeyRefusal(key.get());
    if (!refusal.empty()) {
      *error = "the key of " + key_file + " is " + refusal + ": " + kAllowedKeys;
      return nullptr;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
      ERR_clear_error();
      *error = "the key of " + key_file + " is not the key of the certificate " + certificate_file;
      return nullptr;
    }
    std::vector<uint8_t> spki;
    Owned<SSL_CTX> context{NewContext(/*server=*/true)};
    if (!SpkiOf(X509_get0_pubkey(certificate.get()), &spki) || context == nullptr ||
        SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
      *error = "cannot use the certificate and key: " + OpenSslErrors("no reason given");
      return nullptr;
    }
    return std::make_unique<PosixServerIdentity>(std::move(context), PinOf(spki));
  }

  bool PublicKeyInfo(const std::string& file, std::vector<uint8_t>* spki, std::string* error) override {
    std::string bytes;
    if (!ReadSmallFile(file, "file", &bytes, error)) return false;
    Owned<EVP_PKEY> key = KeyOf(bytes);
    ERR_clear_error();
    if (key != nullptr && SpkiOf(key.get(), spki)) return true;
    *error = file + (bytes.find("ENCRYPTED") != std::string::npos
                         ? " holds an encrypted private key: give its certificate or public key instead"
                         : " holds no certificate, public key or private key (PEM or DER)");
    return false;
  }

  std::unique_ptr<TlsMemoryServer> NewMemoryServer(const TlsServerIdentity& identity) override {
    SSL_CTX* context = ServerContextOf(identity);
    return context == nullptr ? nullptr : posix::NewMemoryServer(context);
  }
};

}  // namespace

SSL_CTX* ClientContext() {
  static SSL_CTX* const context = [] {
    SSL_CTX* c = NewContext(/*server=*/false);
    if (c != nullptr) {
      SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
      SSL_CTX_set_cert_verify_callback(c, CheckServerKey, nullptr);
    }
    return c;
  }();
  return context;
}

SSL_CTX* ServerContextOf(const TlsServerIdentity& identity) {
  const auto* ours = dynamic_cast<const PosixServerIdentity*>(&identity);
  return ours == nullptr ? nullptr : ours->context();
}

int PinCheckIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

bool PinCheck::Check(X509* certificate) {
  EVP_PKEY* key = certificate == nullptr ? nullptr : X509_get0_pubkey(certificate);
  std::vector<uint8_t> spki;
  if (!SpkiOf(key, &spki)) {
    reason = "key";
    detail = "the server's certificate holds no key that can be read";
    return false;
  }
  const std::string refusal = KeyRefusal(key);
  if (!refusal.empty()) {
    reason = "key";
    detail = "the server's key is " + refusal + ": " + kAllowedKeys;
    return false;
  }
  const Sha256Digest pin = PinOf(spki);
  for (const Sha256Digest& p : *pins) {
    if (p == pin) return true;
  }
  reason = "pin";
  detail = "the server's key has the pin " + Base64(std::vector<uint8_t>(pin.begin(), pin.end())) +
           ", which is not pinned";
  return false;
}

std::string KeyRefusal(EVP_PKEY* key) {
  const int type = EVP_PKEY_get_base_id(key);
  if (type == EVP_PKEY_RSA) {
    const int bits = EVP_PKEY_get_bits(key);
    return bits >= 2048 ? std::string() : "RSA of " + std::to_string(bits) + " bits";
  }
  if (type == EVP_PKEY_EC) {
    char group[80] = "an unnamed curve";
    size_t length = 0;
    EVP_PKEY_get_group_name(key, group, sizeof group, &length);
    return std::strcmp(group, "prime256v1") == 0 ? std::string() : "ECDSA on " + std::string(group);
  }
  const char* name = EVP_PKEY_get0_type_name(key);
  return "a key of type " + (name != nullptr ? std::string(name) : std::to_string(type));
}

std::string OpenSslErrors(const std::string& otherwise) {
  std::string text;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(e);
    const std::string piece = reason != nullptr ? reason : "OpenSSL error " + std::to_string(ERR_GET_REASON(e));
    if (text.find(piece) == std::string::npos) text += (text.empty() ? "" : "; ") + piece;
  }
  return text.empty() ? otherwise : text;
}

}  // namespace posix

template <>
TlsEngine& Facility<TlsEngine>::Real() {
  static posix::PosixTls instance;
  return instance;
}

}  // namespace orvalinth::platform
