// Application items and their runs.

#include "base/strings.h"
#include "storage/reader/snapshot_reader.h"
#include "storage/reader/snapshot_reader_records.h"

namespace orvalinth {
namespace snapshot_read {
namespace {

enum : uint8_t {
  kWideName = 0x01,
  kWidePath = 0x02,
  kWideArguments = 0x04,
  kWideDescription = 0x08,
  kFileMissing = 0x10,
  kItemReserved = 0x60,
  kLast = 0x80,
};

std::u16string Text(CXPayloadCursor& c, bool wide) { return c.Units(c.U16(), wide); }
std::u16string WideText(CXPayloadCursor& c) { return Text(c, true); }

// An embedded record ends nothing: an end mark on it is read past, and
// remarked, since the writer never sets one there.
SXReadFile EmbeddedFile(CXPayloadCursor& c, uint32_t item) {
  bool last = false;
  SXReadFile file = ReadFileRecord(c, true, &last);
  if (last) c.Remark("item", item, "has an embedded file record with the end mark (0x80)");
  return file;
}

void ReadAddress(CXPayloadCursor& c, uint32_t item, SXReadAddress* address) {
  address->length_code = c.U8();
  address->port = c.U16();
  if (address->length_code < 2) return;
  if (address->length_code > 16) {
    c.Fail("item", item, Format("has an address of %u bytes (at most 16)", address->length_code));
  }
  if (address->length_code != 4 && address->length_code != 16) {
    c.Remark("item", item, Format("has an address of %u bytes (neither IPv4 nor IPv6)", address->length_code));
  }
  address->bytes = c.Bytes(address->length_code);
}

void ReadHandleBody(CXPayloadCursor& c, uint32_t at, SXReadItem* item) {
  item->handle_type = c.U8();
  const uint8_t missing = c.U8();
  if (missing > 1) c.Fail("item", at, Format("has the object-file state %u (known: 0 present, 1 missing)", missing));
  item->object_file_missing = missing == 1;
  item->object_name = WideText(c);
  if (!item->object_file_missing && (item->handle_type == 1 || item->handle_type == 2)) {
    item->object_file = EmbeddedFile(c, at);
  }
}

void ReadPortBody(CXPayloadCursor& c, uint32_t at, SXReadItem* item) {
  item->protocol = c.U8();
  item->port_state = c.U8();
  ReadAddress(c, at, &item->local);
  if (item->protocol == 1 || item->protocol == 3) ReadAddress(c, at, &item->remote);
}

// Kinds 1, 2, 3, 5 and every kind without a body of its own.
void ReadEntryBody(CXPayloadCursor& c, uint32_t at, uint8_t flags, SXReadItem* item) {
  item->source = c.U8();
  item->state = c.U8();
  item->name = Text(c, flags & kWideName);
  item->path = Text(c, flags & kWidePath);
  item->arguments = Text(c, flags & kWideArguments);
  item->description = Text(c, flags & kWideDescription);
  const std::u16string* texts[] = {&item->name, &item->path, &item->arguments, &item->description};
  for (int k = 0; k < 4; ++k) {
    if ((flags >> k) & 1 && FitsNarrow(*texts[k])) {
      c.Remark("item", at, Format("has text %d written wide although it fits narrow", k + 1));
    }
  }
  if (item->kind == 5) item->registered_name = WideText(c);
  if (!(flags & kFileMissing)) item->file = EmbeddedFile(c, at);
}

SXReadItem ReadItem(CXPayloadCursor& c, bool* last) {
  SXReadItem item;
  const uint32_t at = c.position();
  const uint8_t flags = c.U8();
  if (flags & kItemReserved) c.Fail("item", at, Format("has the reserved flags 0x60 set (flags 0x%02X)", flags));
  item.kind = c.U8();
  item.file_missing = (flags & kFileMissing) != 0;
  switch (item.kind) {
    case 4:
      item.group = WideText(c);
      item.name = WideText(c);
      item.version = WideText(c);
      item.publisher = WideText(c);
      item.path = WideText(c);
      item.uninstall = WideText(c);
      item.install_date = WideText(c);
      break;
    case 6:
      ReadHandleBody(c, at, &item);
      break;
    case 7:
      ReadPortBody(c, at, &item);
      break;
    case 8:
      ReadHandleBody(c, at, &item);
      item.name = WideText(c);
      item.path = WideText(c);
      if (!(flags & kFileMissing)) item.file = EmbeddedFile(c, at);
      break;
    case 9:
      item.path = WideText(c);
      item.name = WideText(c);
      ReadPortBody(c, at, &item);
      break;
    default:
      if (item.kind < 1 || item.kind > 9) c.Remark("item", at, Format("has the unknown kind %u", item.kind));
      ReadEntryBody(c, at, flags, &item);
      break;
  }
  if (item.kind == 4 || (item.kind >= 6 && item.kind <= 9)) {
    // These kinds store their texts wide whatever the flags say; the writer
    // still sets the four text flags from the name, path, arguments and
    // description, as for every kind.
    const std::u16string* texts[] = {&item.name, &item.path, &item.arguments, &item.description};
    uint8_t expected = 0;
    for (int k = 0; k < 4; ++k) {
      if (!FitsNarrow(*texts[k])) expected |= static_cast<uint8_t>(1u << k);
    }
    if ((flags & 0x0F) != expected) {
      c.Remark("item", at, Format("has the text flags 0x%X where its texts give 0x%X", flags & 0x0Fu, expected));
    }
  }
  c.Charge(sizeof(SXReadItem));
  *last = (flags & kLast) != 0;
  return item;
}

}  // namespace

void CheckApplicationSections(const std::vector<SXReadSection>& sections, ReadContext& context) {
  for (const SXReadSection& section : sections) {
    if (section.name == kAppCategoryNames[kAppPrograms]) continue;
    const std::vector<SXReadItem>& items = section.root.items;
    for (size_t i = 1; i < items.size(); ++i) {
      if (CompareAppItems(AppItemOf(items[i - 1]), AppItemOf(items[i])) > 0) {
        context.Remark(Format("the item run of the applications section \"%s\" is not in item order at item %u",
                              EncodeUtf8(section.name).c_str(), static_cast<unsigned>(i)));
        break;
      }
    }
  }
}

std::vector<SXReadItem> ReadItemRun(CXPayloadCursor& c) {
  c.Enter("item run", c.position());
  std::vector<SXReadItem> run;
  bool last = false;
  while (!last) run.push_back(ReadItem(c, &last));
  return run;
}

}  // namespace snapshot_read

namespace {

void CopyFile(const std::optional<SXReadFile>& from, bool missing, SXFileRecord* to) {
  to->missing = missing ? 1 : 0;
  if (!from) return;
  to->version_index = from->version_index;
  to->attributes = from->attributes;
  to->last_write = from->last_write;
  to->size = from->size;
}

SXAddrRecord AddressOf(const SXReadAddress& from) {
  SXAddrRecord to;
  to.length_code = from.length_code;
  to.port = from.port;
  for (size_t i = 0; i < from.bytes.size() && i < sizeof to.bytes; ++i) to.bytes[i] = static_cast<uint8_t>(from.bytes[i]);
  return to;
}

}  // namespace

SXSnapshotDataAppsBase AppItemOf(const SXReadItem& item) {
  SXSnapshotDataAppsBase out;
  out.kind = item.kind;
  out.source = item.source;
  out.state = item.state;
  out.name = item.name;
  out.path = item.path;
  out.arguments = item.arguments;
  out.description = item.description;
  out.publisher = item.publisher;
  out.version = item.version;
  out.uninstall = item.uninstall;
  out.install_date = item.install_date;
  out.group = item.group;
  out.registered_name = item.registered_name;
  out.handle_type = item.handle_type;
  out.object_name = item.object_name;
  out.port_state = item.port_state;
  out.protocol = item.protocol;
  out.local = AddressOf(item.local);
  out.remote = AddressOf(item.remote);
  CopyFile(item.file, item.file_missing, &out.file);
  CopyFile(item.object_file, item.object_file_missing, &out.object_file);
  return out;
}

}  // namespace orvalinth
