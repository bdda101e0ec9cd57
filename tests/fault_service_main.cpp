// OrvalinthSrvFault: the service, for the tests of the crash report and the
// recovery, with a real fault on purpose: its folder searches go through a
// file system that writes through a null pointer when a search meets a
// folder named "orvalinth-fault-here" (the file-system scan of a folder that
// holds one). The product's libraries are linked as they are; only this
// program puts the faulting file system in front of the real one, so the
// product never contains the trigger (tests/host/fault_build_test.cpp checks
// the binaries).

#include <memory>
#include <string>
#include <vector>

#include "host/program.h"
#include "platform/files.h"

namespace orvalinth {
namespace {

constexpr char16_t kFaultFolderName[] = u"orvalinth-fault-here";

// Writes through a null pointer. Not inlined, so the report's stack shows it
// above the scan that called it; not instrumented, so that the sanitizer
// build faults for real instead of reporting the null pointer itself.
__attribute__((noinline, no_sanitize("address", "undefined"))) void AccessViolation() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

void FaultOnTrigger(const platform::FindData& entry) {
  if ((entry.attributes & platform::kAttrDirectory) != 0 && entry.name == kFaultFolderName) AccessViolation();
}

class FaultingSearch final : public platform::FindHandle {
 public:
  explicit FaultingSearch(std::unique_ptr<platform::FindHandle> search) : search_(std::move(search)) {}
  bool Next(platform::FindData* entry) override {
    const bool found = search_->Next(entry);
    if (found) FaultOnTrigger(*entry);
    return found;
  }

 private:
  std::unique_ptr<platform::FindHandle> search_;
};

class FaultingFileSystem final : public platform::FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override {
    std::unique_ptr<platform::FindHandle> search = target().FindFirst(pattern, first);
    if (search == nullptr) return search;
    FaultOnTrigger(*first);
    return std::make_unique<FaultingSearch>(std::move(search));
  }
};

}  // namespace
}  // namespace orvalinth

int main(int argc, char** argv) {
  using namespace orvalinth;
  static FaultingFileSystem files(platform::FileSystem::Real());
  platform::FileSystem::Exchange(&files);
  const std::vector<std::string> arguments(argv, argv + argc);
  return ProgramMain(arguments, RealProgramActions());
}
