#pragma once
// A small test-side encoder of the snapshot byte formats, written apart from
// the service's writer: little-endian fields, block headers, raw and LZ4
// blocks, and every record kind of a payload (nodes, file records, values,
// version records, application items), from the reader's own model structs.
// Header-only, so that the fuzzer's seed writer can use it too.

#include <lz4.h>

#include <cstdint>
#include <string>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth::test {

// Little-endian bytes, appended field by field.
class ByteWriter {
 public:
  ByteWriter& U8(uint32_t v) {
    bytes_ += static_cast<char>(v & 0xFF);
    return *this;
  }
  ByteWriter& U16(uint32_t v) { return U8(v).U8(v >> 8); }
  ByteWriter& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  ByteWriter& U64(uint64_t v) { return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32)); }
  ByteWriter& Raw(const std::string& b) {
    bytes_ += b;
    return *this;
  }
  // Units one byte each (low byte) or two bytes each.
  ByteWriter& Units(const std::u16string& text, bool wide) {
    for (char16_t u : text) wide ? U16(u) : U8(u);
    return *this;
  }
  // A uint16 count of units, then the units.
  ByteWriter& Text(const std::u16string& text, bool wide) { return U16(static_cast<uint32_t>(text.size())).Units(text, wide); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  const std::string& bytes() const { return bytes_; }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

inline bool Narrowable(const std::u16string& text) {
  for (char16_t u : text) {
    if (u > 0xFF) return false;
  }
  return true;
}

// Block headers: the 4-byte form is the little-endian double word
// X * 2^16 + Y + 0x80000000 with its first and last bytes exchanged, the
// 8-byte form Z + 0xC0000000 likewise followed by W.
inline std::string BlockHeader4(uint32_t x, uint32_t y) {
  const uint32_t d = (x << 16) + y + 0x80000000u;
  std::string h = ByteWriter().U32(d).bytes();
  std::swap(h[0], h[3]);
  return h;
}
inline std::string BlockHeader8(uint32_t z, uint32_t w) {
  std::string h = ByteWriter().U32(z + 0xC0000000u).bytes();
  std::swap(h[0], h[3]);
  return h + ByteWriter().U32(w).bytes();
}

enum class Store { kAuto, kRaw, kCompressed };

// One stored block: header and stored bytes. kAuto follows the writer's rule
// (raw under 128 bytes or when compression saves no more than 4 bytes).
inline std::string StoreBlock(const std::string& payload, Store mode = Store::kAuto) {
  const uint32_t length = static_cast<uint32_t>(payload.size());
  if (mode != Store::kRaw && (length >= 128 || mode == Store::kCompressed)) {
    std::string packed(1 + LZ4_compressBound(static_cast<int>(length)), '\0');
    const int n = LZ4_compress_default(payload.data(), &packed[1], static_cast<int>(length),
                                       static_cast<int>(packed.size() - 1));
    packed.resize(1 + n);
    const uint32_t s = static_cast<uint32_t>(packed.size());
    if (mode == Store::kCompressed || s + 4 < length) {
      return (length < 16348 ? BlockHeader4(s, length) : BlockHeader8(s, length)) + packed;
    }
  }
  if (length < 128) return std::string(1, static_cast<char>(length)) + payload;
  return (length < 16384 ? BlockHeader4(length, 0) : BlockHeader8(length, 0)) + payload;
}

inline uint32_t FileSizeWidth(uint64_t size) {
  if ((size >> 32) != 0) return 3;
  if (size > 0xFFFF) return 2;
  return (size & 0xFF00) != 0 ? 1 : 0;
}

inline std::string FileRecordBytes(const SXReadFile& f, bool last) {
  const uint32_t code = FileSizeWidth(f.size);
  const bool wide = !Narrowable(f.name);
  const bool long_name = f.name.size() >= 256;
  ByteWriter w;
  w.U8(code | (long_name ? 0x04 : 0) | (wide ? 0x08 : 0) | (f.version_index != -1 ? 0x20 : 0) |
       (f.attributes != 0 ? 0x40 : 0) | (last ? 0x80 : 0));
  if (f.attributes != 0) w.U16(f.attributes);
  if (f.version_index != -1) w.U32(static_cast<uint32_t>(f.version_index));
  w.U64(static_cast<uint64_t>(f.last_write));
  if (code == 0) w.U8(static_cast<uint32_t>(f.size));
  if (code == 1) w.U16(static_cast<uint32_t>(f.size));
  if (code == 2) w.U32(static_cast<uint32_t>(f.size));
  if (code == 3) w.U64(f.size);
  long_name ? w.U16(static_cast<uint32_t>(f.name.size())) : w.U8(static_cast<uint32_t>(f.name.size()));
  return w.Units(f.name, wide).bytes();
}

// A node record; the link target goes in UTF-8 of single units.
inline std::string NodeRecordBytes(const SXReadNode& n, uint32_t child, uint32_t content, bool last) {
  const bool wide = !Narrowable(n.name);
  const bool long_name = n.name.size() >= 256;
  const bool link = n.link_type != 0;
  ByteWriter w;
  w.U8((child ? 0x01 : 0) | (content ? 0x02 : 0) | (long_name ? 0x04 : 0) | (wide ? 0x08 : 0) |
       (n.error ? 0x10 : 0) | (n.attributes ? 0x20 : 0) | (link ? 0x40 : 0) | (last ? 0x80 : 0));
  if (n.attributes) w.U16(n.attributes);
  if (child) w.U32(child);
  if (content) w.U32(content);
  if (n.error) w.U32(static_cast<uint32_t>(n.error));
  long_name ? w.U16(static_cast<uint32_t>(n.name.size())) : w.U8(static_cast<uint32_t>(n.name.size()));
  w.Units(n.name, wide);
  if (link) {
    std::string utf8;
    for (char16_t u : n.link_target) {
      if (u < 0x80) {
        utf8 += static_cast<char>(u);
      } else if (u < 0x800) {
        utf8 += static_cast<char>(0xC0 | (u >> 6));
        utf8 += static_cast<char>(0x80 | (u & 0x3F));
      } else {
        utf8 += static_cast<char>(0xE0 | (u >> 12));
        utf8 += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (u & 0x3F));
      }
    }
    w.U8(n.link_type).U16(static_cast<uint32_t>(utf8.size())).Raw(utf8);
  }
  return w.bytes();
}

// A registry value as stored: text types carry their units, others raw bytes.
inline std::string ValueRecordBytes(const SXReadValue& v, bool last) {
  const bool text = IsRegistryTextType(v.type);
  const uint32_t size = static_cast<uint32_t>(text ? v.text.size() : v.data.size());
  const uint32_t code = size > 0xFFFF ? 2 : ((size & 0xFF00) != 0 ? 1 : 0);
  const bool wide_name = !Narrowable(v.name);
  const bool long_name = v.name.size() >= 256;
  const bool wide_text = text && !Narrowable(v.text);
  ByteWriter w;
  w.U8(code | (long_name ? 0x04 : 0) | (wide_name ? 0x08 : 0) | (v.type > 0xFF ? 0x10 : 0) |
       (wide_text ? 0x20 : 0) | (last ? 0x80 : 0));
  long_name ? w.U16(static_cast<uint32_t>(v.name.size())) : w.U8(static_cast<uint32_t>(v.name.size()));
  if (code == 0) w.U8(size);
  if (code == 1) w.U16(size);
  if (code == 2) w.U32(size);
  v.type > 0xFF ? w.U32(v.type) : w.U8(v.type);
  w.Units(v.name, wide_name);
  return text ? w.Units(v.text, wide_text).bytes() : w.Raw(v.data).bytes();
}

inline std::string VersionRecordBytes(const SXReadVersion& v) {
  uint32_t long_flags = 0, wide_flags = 0;
  for (int k = 0; k < kVersionStringCount; ++k) {
    if (v.strings[k].size() >= 256) long_flags |= 1u << k;
    if (!Narrowable(v.strings[k])) wide_flags |= 1u << k;
  }
  ByteWriter w;
  w.U8(long_flags).U8(wide_flags).U32(v.file_version_high).U32(v.file_version_low);
  for (int k = 0; k < kVersionStringCount; ++k) {
    const uint32_t n = static_cast<uint32_t>(v.strings[k].size());
    (long_flags >> k) & 1 ? w.U16(n) : w.U8(n);
    w.Units(v.strings[k], (wide_flags >> k) & 1);
  }
  return w.bytes();
}

inline void AddressBytes(ByteWriter& w, const SXReadAddress& a) {
  w.U8(a.length_code).U16(a.port);
  if (a.length_code >= 2) w.Raw(a.bytes);
}

inline std::string ItemRecordBytes(const SXReadItem& item, bool last) {
  const std::u16string* texts[] = {&item.name, &item.path, &item.arguments, &item.description};
  uint32_t flags = (item.file_missing ? 0x10 : 0) | (last ? 0x80 : 0);
  for (int k = 0; k < 4; ++k) flags |= Narrowable(*texts[k]) ? 0 : (1u << k);
  ByteWriter w;
  w.U8(flags).U8(item.kind);
  const auto handle_body = [&] {
    w.U8(item.handle_type).U8(item.object_file_missing ? 1 : 0).Text(item.object_name, true);
    if (!item.object_file_missing && (item.handle_type == 1 || item.handle_type == 2)) {
      w.Raw(FileRecordBytes(item.object_file.value_or(SXReadFile()), false));
    }
  };
  const auto port_body = [&] {
    w.U8(item.protocol).U8(item.port_state);
    AddressBytes(w, item.local);
    if (item.protocol == 1 || item.protocol == 3) AddressBytes(w, item.remote);
  };
  const auto file = [&] {
    if (!item.file_missing) w.Raw(FileRecordBytes(item.file.value_or(SXReadFile()), false));
  };
  switch (item.kind) {
    case 4:
      for (const std::u16string* s : {&item.group, &item.name, &item.version, &item.publisher, &item.path,
                                      &item.uninstall, &item.install_date}) {
        w.Text(*s, true);
      }
      break;
    case 6: handle_body(); break;
    case 7: port_body(); break;
    case 8:
      handle_body();
      w.Text(item.name, true).Text(item.path, true);
      file();
      break;
    case 9:
      w.Text(item.path, true).Text(item.name, true);
      port_body();
      break;
    default:
      w.U8(item.source).U8(item.state);
      for (int k = 0; k < 4; ++k) w.Text(*texts[k], (flags >> k) & 1);
      if (item.kind == 5) w.Text(item.registered_name, true);
      file();
      break;
  }
  return w.bytes();
}

}  // namespace orvalinth::test
