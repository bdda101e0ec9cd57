#pragma once
// The tiny PE files with version resources that tests/CMakeLists.txt builds
// from tests/record/version_fixtures/*.rc (full, no_translation, fixed_only,
// translation_only, none), and a byte source over memory.

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/version_resources.h"
#include "test_support.h"

namespace orvalinth::test {

// The Windows path of fixture `name` ("full.exe"); empty when the fixtures
// were not built (the mingw-w64 tools were missing).
inline std::u16string PeFixture(const std::string& name) {
  std::string folder = ORVALINTH_PE_FIXTURES;
  if (folder.empty()) return std::u16string();
  if (folder[0] == '/') {
    // A host path: drive Z: is the host's root, under Wine as on POSIX.
    std::replace(folder.begin(), folder.end(), '/', '\\');
    folder = "Z:" + folder;
  }
  return W(folder + "\\" + name);
}

#define SKIP_WITHOUT_PE_FIXTURES() \
  if (::orvalinth::test::PeFixture("full.exe").empty()) GTEST_SKIP() << "PE fixtures not built (scripts/setup)"

// A file's bytes in memory; remembers the largest single read.
class MemorySource final : public platform::ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override {
    largest_read_ = std::max<uint64_t>(largest_read_, n);
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return true;
  }
  uint64_t largest_read() const { return largest_read_; }

 private:
  std::string bytes_;
  uint64_t largest_read_ = 0;
};

}  // namespace orvalinth::test
