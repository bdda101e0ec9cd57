// Nodes, file records, registry values and version records.

#include "storage/reader/snapshot_reader_records.h"

#include "base/strings.h"

namespace orvalinth {
namespace snapshot_read {
namespace {

enum : uint8_t {
  kNodeChild = 0x01,
  kNodeContent = 0x02,
  kLongName = 0x04,
  kWideName = 0x08,
  kNodeError = 0x10,
  kNodeAttributes = 0x20,
  kNodeLink = 0x40,
  kLast = 0x80,
};
enum : uint8_t { kFileReserved = 0x10, kFileVersion = 0x20, kFileAttributes = 0x40 };
enum : uint8_t { kValueTypeLong = 0x10, kValueWideText = 0x20, kValueReserved = 0x40 };

std::string Hex8(uint32_t v) { return Format("0x%02X", v); }

// The width code the writer picks for a file size.
uint32_t FileSizeCode(uint64_t size) {
  if ((size >> 32) != 0) return 3;
  if (size > 0xFFFF) return 2;
  return (size & 0xFF00) != 0 ? 1 : 0;
}

// The width code the writer picks for a value's data size.
uint32_t ValueSizeCode(uint32_t size) {
  if (size > 0xFFFF) return 2;
  return (size & 0xFF00) != 0 ? 1 : 0;
}

}  // namespace

void CheckNameForm(CXPayloadCursor& cursor, const char* what, uint32_t at, const std::u16string& name,
                   bool long_length, bool wide) {
  if (long_length && name.size() < 256) {
    cursor.Remark(what, at, Format("has a two-byte length for a text of %u units", static_cast<unsigned>(name.size())));
  }
  if (wide && FitsNarrow(name)) cursor.Remark(what, at, "has a text written wide although it fits narrow");
}

std::vector<NodeEntry> ReadNodeTable(CXPayloadCursor& c) {
  const uint32_t start = c.position();
  c.Enter("node table", start);
  std::vector<NodeEntry> table;
  for (;;) {
    NodeEntry entry;
    SXReadNode& node = entry.node;
    entry.record = c.position();
    const uint8_t flags = c.U8();
    if (flags & kNodeAttributes) {
      node.attributes = c.U16();
      if (node.attributes == 0) c.Remark("node", entry.record, "has the attributes flag with attributes 0");
    }
    if (flags & kNodeChild) {
      entry.child = c.U32();
      if (entry.child == 0) c.Remark("node", entry.record, "has the child-table flag with offset 0");
    }
    if (flags & kNodeContent) {
      entry.content = c.U32();
      if (entry.content == 0) c.Remark("node", entry.record, "has the content flag with offset 0");
    }
    if (flags & kNodeError) {
      node.error = c.I32();
      if (node.error == 0) c.Remark("node", entry.record, "has the error flag with error 0");
    }
    const uint32_t length = (flags & kLongName) ? c.U16() : c.U8();
    node.name = c.Units(length, (flags & kWideName) != 0);
    CheckNameForm(c, "node", entry.record, node.name, flags & kLongName, flags & kWideName);
    if (flags & kNodeLink) {
      node.link_type = c.U8();
      const std::string utf8 = c.Bytes(c.U16());
      node.link_target = DecodeUtf8(utf8);
      if (node.link_type < 1 || node.link_type > 3) {
        c.Fail("node", entry.record, Format("has link type %u (known: 1 to 3)", node.link_type));
      }
      if (entry.child != 0 || entry.content != 0) {
        c.Fail("node", entry.record, "is a link with a child table or content (links are never followed)");
      }
      if (EncodeUtf8(node.link_target) != utf8) {
        c.Remark("node", entry.record, "has a link target that is not UTF-8 of 16-bit units");
      }
    }
    // A drive root "C:\" reads as "C:".
    if (node.name.size() == 3 && node.name[2] == u'\\') node.name.resize(2);
    c.Charge(sizeof(NodeEntry));
    table.push_back(std::move(entry));
    if (flags & kLast) return table;
  }
}

SXReadFile ReadFileRecord(CXPayloadCursor& c, bool in_item, bool* last) {
  SXReadFile file;
  const uint32_t at = c.position();
  const uint8_t flags = c.U8();
  if (flags & kFileReserved) c.Fail("file record", at, "has the reserved flag 0x10 set (flags " + Hex8(flags) + ")");
  if (flags & kFileAttributes) {
    file.attributes = c.U16();
    if (file.attributes == 0) c.Remark("file record", at, "has the attributes flag with attributes 0");
  }
  if (flags & kFileVersion) {
    file.version_index = c.I32();
    if (file.version_index == -1) {
      c.Remark("file record", at, "has the version flag with index -1");
    } else if (file.version_index < 0 || file.version_index >= c.context().version_count) {
      c.Fail("file record", at,
             Format("refers to version record %d, but the snapshot holds %lld", file.version_index,
                    static_cast<long long>(c.context().version_count)));
    }
  }
  file.last_write = c.I64();
  const uint32_t code = flags & 0x03;
  switch (code) {
    case 0: file.size = c.U8(); break;
    case 1: file.size = c.U16(); break;
    case 2: file.size = c.U32(); break;
    default: file.size = c.U64(); break;
  }
  if (code != FileSizeCode(file.size)) {
    c.Remark("file record", at,
             Format("stores the size %llu with width code %u", static_cast<unsigned long long>(file.size), code));
  }
  const uint32_t length = (flags & kLongName) ? c.U16() : c.U8();
  file.name = c.Units(length, (flags & kWideName) != 0);
  CheckNameForm(c, "file record", at, file.name, flags & kLongName, flags & kWideName);
  if (in_item && !file.name.empty()) c.Remark("file record", at, "of an item has a name");
  c.Charge(sizeof(SXReadFile));
  *last = (flags & kLast) != 0;
  return file;
}

std::vector<SXReadFile> ReadFileRun(CXPayloadCursor& c) {
  c.Enter("file run", c.position());
  std::vector<SXReadFile> run;
  bool last = false;
  while (!last) run.push_back(ReadFileRecord(c, false, &last));
  return run;
}

SXReadValue ReadValueRecord(CXPayloadCursor& c, bool* last) {
  SXReadValue value;
  const uint32_t at = c.position();
  const uint8_t flags = c.U8();
  if (flags & kValueReserved) c.Fail("value", at, "has the reserved flag 0x40 set (flags " + Hex8(flags) + ")");
  const uint32_t code = flags & 0x03;
  if (code == 3) c.Fail("value", at, "has data width code 3 (known: 0 to 2)");
  const uint32_t length = (flags & kLongName) ? c.U16() : c.U8();
  uint32_t size = 0;
  if (code == 0) size = c.U8();
  if (code == 1) size = c.U16();
  if (code == 2) {
    const int32_t signed_size = c.I32();
    if (signed_size < 0) c.Fail("value", at, Format("has a negative data size %d", signed_size));
    size = static_cast<uint32_t>(signed_size);
  }
  if (code != ValueSizeCode(size)) {
    c.Remark("value", at, Format("stores the data size %u with width code %u", size, code));
  }
  value.type = (flags & kValueTypeLong) ? c.U32() : c.U8();
  if ((flags & kValueTypeLong) && value.type <= 0xFF) {
    c.Remark("value", at, Format("stores type %u in four bytes", value.type));
  }
  if (length != 0) value.name = c.Units(length, (flags & kWideName) != 0);
  CheckNameForm(c, "value", at, value.name, flags & kLongName, flags & kWideName);
  const bool wide_text = (flags & kValueWideText) != 0;
  if (IsRegistryTextType(value.type)) {
    value.text = c.Units(size, wide_text);
    if (wide_text && FitsNarrow(value.text)) c.Remark("value", at, "has text written wide although it fits narrow");
  } else {
    value.data = c.Bytes(size);
    if (wide_text) c.Remark("value", at, Format("of type %u has the wide-text flag", value.type));
  }
  c.Charge(sizeof(SXReadValue));
  *last = (flags & kLast) != 0;
  return value;
}

std::vector<SXReadValue> ReadValueRun(CXPayloadCursor& c) {
  c.Enter("value run", c.position());
  std::vector<SXReadValue> run;
  bool last = false;
  while (!last) run.push_back(ReadValueRecord(c, &last));
  return run;
}

SXReadVersion ReadVersionRecord(CXPayloadCursor& c) {
  SXReadVersion version;
  const uint32_t at = c.position();
  c.Enter("version record", at);
  const uint8_t long_flags = c.U8();
  const uint8_t wide_flags = c.U8();
  if ((long_flags | wide_flags) & 0xC0) {
    c.Fail("version record", at,
           Format("has string flags %s and %s for strings beyond the six", Hex8(long_flags).c_str(),
                  Hex8(wide_flags).c_str()));
  }
  version.file_version_high = c.U32();
  version.file_version_low = c.U32();
  for (int k = 0; k < kVersionStringCount; ++k) {
    const bool long_length = (long_flags >> k) & 1;
    const bool wide = (wide_flags >> k) & 1;
    const uint32_t length = long_length ? c.U16() : c.U8();
    version.strings[k] = c.Units(length, wide);
    CheckNameForm(c, "version record", at, version.strings[k], long_length, wide);
  }
  c.Charge(sizeof(SXReadVersion));
  return version;
}

}  // namespace snapshot_read
}  // namespace orvalinth
