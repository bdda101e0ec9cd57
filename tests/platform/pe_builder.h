#pragma once
// Builders of version blocks and of minimal PE files holding one, for the
// tests of the version readers and for the fuzzers' seeds. Header-only, so
// that a seed program can use it too.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth::test {

inline void PutU16(std::string& bytes, size_t at, uint32_t v) {
  bytes[at] = static_cast<char>(v & 0xFF);
  bytes[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void PutU32(std::string& bytes, size_t at, uint32_t v) {
  PutU16(bytes, at, v & 0xFFFF);
  PutU16(bytes, at + 2, v >> 16);
}
inline std::string U16Bytes(uint32_t v) {
  std::string s(2, '\0');
  PutU16(s, 0, v);
  return s;
}
inline std::string U32Bytes(uint32_t v) {
  std::string s(4, '\0');
  PutU32(s, 0, v);
  return s;
}
// UTF-16 little-endian bytes of `text` and its terminating zero.
inline std::string Utf16z(const std::u16string& text) {
  std::string s;
  for (char16_t c : text) s += U16Bytes(c);
  return s + U16Bytes(0);
}
inline void Pad4(std::string& bytes) {
  while (bytes.size() % 4 != 0) bytes.push_back('\0');
}

// One record of a version block: header, key, value and children, each
// child aligned to 4 bytes; the total length counts no padding after the last
// part.
inline std::string VersionRecordBytes(const std::u16string& key, uint16_t type, const std::string& value,
                                      uint16_t value_length, const std::vector<std::string>& children = {}) {
  std::string r(6, '\0');
  r += Utf16z(key);
  if (!value.empty()) {
    Pad4(r);
    r += value;
  }
  for (const std::string& child : children) {
    Pad4(r);
    r += child;
  }
  PutU16(r, 0, static_cast<uint32_t>(r.size()));
  PutU16(r, 2, value_length);
  PutU16(r, 4, type);
  return r;
}

inline std::string StringEntry(const std::u16string& name, const std::u16string& text) {
  return VersionRecordBytes(name, 1, Utf16z(text), static_cast<uint16_t>(text.size() + 1));
}
inline std::string StringTable(const std::u16string& key, const std::vector<std::string>& entries) {
  return VersionRecordBytes(key, 1, std::string(), 0, entries);
}
inline std::string StringFileInfo(const std::vector<std::string>& tables) {
  return VersionRecordBytes(u"StringFileInfo", 1, std::string(), 0, tables);
}
// VarFileInfo with a Translation of (language, code page) pairs.
inline std::string VarFileInfo(const std::vector<std::pair<uint16_t, uint16_t>>& pairs) {
  std::string value;
  for (const auto& p : pairs) value += U16Bytes(p.first) + U16Bytes(p.second);
  return VersionRecordBytes(u"VarFileInfo", 1, std::string(), 0,
                            {VersionRecordBytes(u"Translation", 0, value, static_cast<uint16_t>(value.size()))});
}
// VS_FIXEDFILEINFO with the signature, the file and product versions.
inline std::string FixedInfo(uint32_t file_high, uint32_t file_low) {
  std::string f(52, '\0');
  PutU32(f, 0, 0xFEEF04BD);
  PutU32(f, 4, 0x10000);
  PutU32(f, 8, file_high);
  PutU32(f, 12, file_low);
  PutU32(f, 16, file_high);
  PutU32(f, 20, file_low);
  return f;
}
inline std::string VersionBlock(const std::string& fixed, const std::vector<std::string>& children) {
  return VersionRecordBytes(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()), children);
}

struct PeOptions {
  bool pe32_plus = true;
  uint32_t name_id = 1;          // the version resource's name
  bool icon_type_first = true;   // another resource type before RT_VERSION
};

// Where the parts of a built PE file lie.
constexpr size_t kPeHeader = 0x40;
constexpr size_t kPeResourceRaw = 0x200;
constexpr uint32_t kPeResourceAddress = 0x1000;
inline size_t PeSectionTable(bool pe32_plus) { return kPeHeader + 24 + (pe32_plus ? 240 : 224); }

// A PE file with one section, ".rsrc", whose resource directory holds
// `block` as the version resource (type 16, name `name_id`, language 0x409).
inline std::string BuildPe(const std::string& block, const PeOptions& options = PeOptions()) {
  const uint32_t optional_size = options.pe32_plus ? 240 : 224;
  std::string file(kPeResourceRaw, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  PutU32(file, 0x3C, kPeHeader);
  file.replace(kPeHeader, 4, std::string("PE\0\0", 4));
  PutU16(file, kPeHeader + 4, options.pe32_plus ? 0x8664 : 0x14C);
  PutU16(file, kPeHeader + 6, 1);
  PutU16(file, kPeHeader + 20, optional_size);
  PutU16(file, kPeHeader + 22, 0x22);
  const size_t optional = kPeHeader + 24;
  PutU16(file, optional, options.pe32_plus ? 0x20B : 0x10B);
  const size_t directories = optional + (options.pe32_plus ? 112 : 96);
  PutU32(file, directories - 4, 16);

  // The resource directory: types, names, languages, the data entry, the block.
  std::string rsrc;
  auto directory = [&rsrc](std::vector<std::pair<uint32_t, uint32_t>> entries) {
    const size_t at = rsrc.size();
    rsrc += std::string(16, '\0');
    PutU16(rsrc, at + 14, static_cast<uint32_t>(entries.size()));
    for (const auto& e : entries) rsrc += U32Bytes(e.first) + U32Bytes(e.second);
    return at;
  };
  const uint32_t level2 = options.icon_type_first ? 16 + 16 : 16 + 8;
  const uint32_t level3 = level2 + 24;
  const uint32_t data = level3 + 24;
  const uint32_t block_at = data + 16;
  if (options.icon_type_first) {
    directory({{3, 0x80000000u | level2}, {16, 0x80000000u | level2}});
  } else {
    directory({{16, 0x80000000u | level2}});
  }
  directory({{options.name_id, 0x80000000u | level3}});
  directory({{0x409, data}});
  rsrc += U32Bytes(kPeResourceAddress + block_at) + U32Bytes(static_cast<uint32_t>(block.size())) + U32Bytes(0) +
          U32Bytes(0);
  rsrc += block;
  Pad4(rsrc);

  PutU32(file, directories + 16, kPeResourceAddress);
  PutU32(file, directories + 20, static_cast<uint32_t>(rsrc.size()));
  const size_t section = PeSectionTable(options.pe32_plus);
  file.replace(section, 5, ".rsrc");
  PutU32(file, section + 8, static_cast<uint32_t>(rsrc.size()));
  PutU32(file, section + 12, kPeResourceAddress);
  PutU32(file, section + 16, static_cast<uint32_t>(rsrc.size()));
  PutU32(file, section + 20, kPeResourceRaw);
  PutU32(file, section + 36, 0x40000040);
  return file + rsrc;
}

}  // namespace orvalinth::test
