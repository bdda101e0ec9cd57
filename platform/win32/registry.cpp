// Placeholder until the registry backend of this platform lands: a registry
// in which every key is missing, so that the code that reads the registry
// links and takes its "nothing found" paths. The backend replaces this file.

#include "platform/errors.h"
#include "platform/registry.h"

namespace orvalinth::platform {
namespace {

class AbsentRegistry final : public Registry {
 public:
  uint32_t OpenKey(RegistryRoot, const std::u16string&, uint32_t, uint32_t, std::unique_ptr<RegistryKey>*) override {
    return kErrorFileNotFound;
  }
  uint32_t CreateKey(RegistryRoot, const std::u16string&, uint32_t, std::unique_ptr<RegistryKey>*) override {
    return kErrorAccessDenied;
  }
  uint32_t DeleteKey(RegistryRoot, const std::u16string&) override { return kErrorFileNotFound; }
};

}  // namespace

template <>
Registry& Facility<Registry>::Real() {
  static AbsentRegistry instance;
  return instance;
}

}  // namespace orvalinth::platform
