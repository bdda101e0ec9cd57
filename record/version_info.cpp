// Reading the version information of one executable.

#include "record/version_info.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/log.h"
#include "base/strings.h"
#include "platform/errors.h"
#include "platform/version_resources.h"
#include "storage/exe_version.h"
#include "storage/version_table.h"

namespace orvalinth {
namespace {

using platform::VersionRecord;
using platform::VersionValue;

constexpr uint32_t kFixedInfoSize = 52;         // VS_FIXEDFILEINFO
constexpr uint32_t kSignature = 0xFEEF04BD;     // its first field
constexpr size_t kSmallestHandParsed = 130;
// The system may ask for room beyond the block (twice its length and more);
// a stated size past this is not trusted with memory: no block is that long.
constexpr uint32_t kLargestStatedSize = 4 * platform::kMaxVersionBlock + 16;

uint32_t Read32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::u16string TranslationKey(const uint8_t* entry) {
  return Widen(Format("%04x%04x", Read16(entry), Read16(entry + 2)));
}

// The bytes of a value, whatever its type says it counts.
uint32_t ValueBytes(const VersionValue& value) { return value.text ? 2 * value.length : value.length; }

// The text of a string value: its units up to the first zero.
std::u16string StringValue(const VersionValue& value) {
  std::u16string text;
  const uint32_t units = ValueBytes(value) / 2;
  for (uint32_t i = 0; i < units; ++i) {
    const char16_t c = static_cast<char16_t>(Read16(value.data + 2 * i));
    if (c == u'\0') break;
    text += c;
  }
  return text;
}

void ReadStrings(const uint8_t* block, size_t size, const std::u16string& key, SXExeVersion* out) {
  struct {
    const char16_t* name;
    std::u16string* field;
  } const strings[] = {
      {u"ProductVersion", &out->product_version}, {u"FileVersion", &out->file_version},
      {u"CompanyName", &out->company_name},       {u"ProductName", &out->product_name},
      {u"FileDescription", &out->file_description}, {u"Comments", &out->comments},
  };
  for (const auto& s : strings) {
    VersionValue value;
    const std::u16string sub_block = u"\\StringFileInfo\\" + key + u"\\" + s.name;
    *s.field = platform::QueryVersionValue(block, size, sub_block, &value) ? StringValue(value) : std::u16string();
  }
}

}  // namespace

int ReadVersionInfo(const std::u16string& path, SXExeVersion* out) {
  *out = SXExeVersion();
  platform::VersionResources& resources = platform::VersionResources::Get();
  const uint32_t size = resources.BlockSize(path);
  if (size == 0) return 0;
  std::vector<uint8_t> buffer(4 * static_cast<size_t>(std::min(size, kLargestStatedSize)));
  const uint8_t* block = buffer.data();
  const size_t room = buffer.size();
  VersionValue fixed;
  if (!resources.ReadBlock(path, buffer.data(), static_cast<uint32_t>(room))) {
    // The file had a version block a moment ago: it changed (was cut,
    // replaced) while it was read. Recorded without version information.
    LogError("cannot read version information [%s] [error:%u]", EncodeUtf8(path).c_str(), platform::LastError());
    return 0;
  }
  if (!platform::QueryVersionValue(block, room, u"\\", &fixed)) return 0;
  // A block without the whole fixed information has no file version; its
  // strings still count.
  if (ValueBytes(fixed) >= kFixedInfoSize) {
    out->file_version_high = static_cast<int32_t>(Read32(fixed.data + 8));
    out->file_version_low = static_cast<int32_t>(Read32(fixed.data + 12));
  }
  VersionValue translation;
  if (platform::QueryVersionValue(block, room, u"\\VarFileInfo\\Translation", &translation) &&
      ValueBytes(translation) >= 4) {
    ReadStrings(block, room, TranslationKey(translation.data), out);
  }
  if (!out->product_version.empty() || !out->file_version.empty()) return 1;
  const std::u16string key = HandParseTranslationKey(block, room);
  if (key.empty()) {
    *out = SXExeVersion();
    return 0;
  }
  ReadStrings(block, room, key, out);
  return 1;
}

std::u16string HandParseTranslationKey(const void* data, size_t size) {
  const auto* block = static_cast<const uint8_t*>(data);
  VersionRecord root;
  if (!platform::ReadVersionRecord(block, 0, size, &root) || root.end < kSmallestHandParsed || root.type != 0 ||
      platform::VersionRecordKey(block, root) != u"VS_VERSION_INFO" || root.length < 4 ||
      Read32(block + root.value) != kSignature) {
    return std::u16string();
  }
  VersionRecord child;
  VersionRecord first;
  if (!platform::ReadVersionRecord(block, root.children, root.end, &child) ||
      !platform::ReadVersionRecord(block, child.children, child.end, &first)) {
    return std::u16string();
  }
  const std::u16string kind = platform::VersionRecordKey(block, child);
  if (kind == u"StringFileInfo") {
    if (first.stated_length != 0) return std::u16string();
    return platform::VersionRecordKey(block, first).substr(0, 8);
  }
  if (kind == u"VarFileInfo") {
    const uint32_t bytes = first.type != 0 ? 2 * first.length : first.length;
    if (platform::VersionRecordKey(block, first) != u"Translation" || bytes < 4) {
      return std::u16string();
    }
    return TranslationKey(block + first.value);
  }
  return std::u16string();
}

void InstallVersionReader(CXExeVersionTable& table) { table.set_reader(ReadVersionInfo); }

}  // namespace orvalinth
