// Shortcuts on POSIX: no installer and no shell link object.

#include "platform/shell_links.h"

#include "platform/errors.h"

namespace orvalinth::platform {
namespace {

constexpr uint32_t kErrorUnknownProduct = 1627;  // ERROR_FUNCTION_FAILED, as the installer answers

class PosixShellLinks final : public ShellLinks {
 public:
  bool InstallerTarget(const std::u16string&, std::u16string*) override {
    SetLastError(kErrorUnknownProduct);
    return false;
  }
  bool LinkTarget(const std::u16string&, std::u16string*) override {
    SetLastError(kErrorNotSupported);
    return false;
  }
  bool HasLinkObject() override { return false; }
};

}  // namespace

template <>
ShellLinks& Facility<ShellLinks>::Real() {
  static PosixShellLinks instance;
  return instance;
}

}  // namespace orvalinth::platform
