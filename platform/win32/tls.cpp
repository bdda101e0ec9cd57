// TLS on Windows: SChannel.

#include "platform/tls.h"

namespace orvalinth::platform {
namespace {

class WinTls final : public TlsEngine {
 public:
  bool Available() override { return false; }
  std::unique_ptr<TlsServerIdentity> LoadServerIdentity(const std::string&, const std::string&,
                                                        std::string* error) override {
    *error = "a TLS console is not part of the Windows build";
    return nullptr;
  }
  bool PublicKeyInfo(const std::string&, std::vector<uint8_t>*, std::string* error) override {
    *error = "the pin of a key file is given by the Linux build's orvalinth tls-pin";
    return false;
  }
};

}  // namespace

template <>
TlsEngine& Facility<TlsEngine>::Real() {
  static WinTls instance;
  return instance;
}

}  // namespace orvalinth::platform
