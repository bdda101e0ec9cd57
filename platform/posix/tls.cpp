// TLS on POSIX: OpenSSL 3's libssl.

#include "platform/tls.h"

namespace orvalinth::platform {
namespace {

class PosixTls final : public TlsEngine {
 public:
  bool Available() override { return false; }
  std::unique_ptr<TlsServerIdentity> LoadServerIdentity(const std::string&, const std::string&,
                                                        std::string* error) override {
    *error = "not built yet";
    return nullptr;
  }
  bool PublicKeyInfo(const std::string&, std::vector<uint8_t>*, std::string* error) override {
    *error = "not built yet";
    return false;
  }
};

}  // namespace

template <>
TlsEngine& Facility<TlsEngine>::Real() {
  static PosixTls instance;
  return instance;
}

}  // namespace orvalinth::platform
