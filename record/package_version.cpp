#include "record/package_version.h"

#include <cstring>
#include <vector>

#include "platform/version_resources.h"

namespace orvalinth {
namespace {

constexpr uint32_t kFixedInfoSize = 52;      // VS_FIXEDFILEINFO
constexpr uint32_t kSignature = 0xFEEF04BD;  // its first field

uint32_t Read32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class BytesSource final : public platform::ByteSource {
 public:
  explicit BytesSource(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Size() override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::string_view bytes_;
};

}  // namespace

bool ReadPackageVersion(std::string_view bytes, int32_t* version, std::string* error) {
  *version = 0;
  BytesSource source(bytes);
  uint64_t offset = 0;
  uint32_t size = 0;
  if (!platform::FindPeVersionResource(source, &offset, &size)) {
    *error = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z' ? "the executable has no version resource"
                                                                      : "the package is no Windows executable";
    return false;
  }
  if (size > platform::kMaxVersionBlock) size = platform::kMaxVersionBlock;
  std::vector<uint8_t> block(size);
  if (size == 0 || !source.ReadAt(offset, block.data(), size)) {
    *error = "the version resource lies outside the file";
    return false;
  }
  platform::VersionValue fixed;
  if (!platform::QueryVersionValue(block.data(), block.size(), u"\\", &fixed) || fixed.text ||
      fixed.length < kFixedInfoSize || Read32(fixed.data) != kSignature) {
    *error = "the version resource has no fixed file information";
    return false;
  }
  const uint32_t low = Read32(fixed.data + 12);  // build << 16 | revision
  const int32_t revision = static_cast<int32_t>(low & 0xFFFF);
  if (revision <= 0) {
    *error = "the file version's revision (the agent version) is 0";
    return false;
  }
  *version = revision;
  return true;
}

}  // namespace orvalinth
