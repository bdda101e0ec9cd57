#include "storage/data_apps.h"

#include "storage/mem_reader.h"

namespace orvalinth {
namespace {

std::u16string ReadText(CXMemReader& reader, bool wide) { return reader.ReadUnits(reader.ReadU16(), wide); }

void ReadAddress(CXMemReader& reader, SXAddrRecord* address) {
  *address = SXAddrRecord();
  address->length_code = reader.ReadU8();
  address->port = reader.ReadU16();
  if (address->length_code >= 2) {
    const int32_t n = address->length_code > 16 ? 16 : address->length_code;
    reader.ReadBytes(address->bytes, n);
    reader.Skip(address->length_code - n);
  }
}

// Reads an embedded file record into `record` and its disk fields into `file`.
void ReadFile(CXMemReader& reader, SXSnapshotDataFile* record, SXFileRecord* file) {
  record->Read(reader);
  file->version_index = record->version_index;
  file->attributes = static_cast<uint16_t>(record->attributes);
  file->last_write = record->last_write;
  file->size = static_cast<uint64_t>(record->size);
  file->missing = 0;
}

void MarkMissing(SXSnapshotDataFile* record, SXFileRecord* file) {
  *record = SXSnapshotDataFile();
  file->version_index = -1;
  file->attributes = 0;
  file->last_write = 0;
  file->size = 0;
  file->missing = 1;
}

}  // namespace

void SXSnapshotDataApps::Read(CXMemReader& reader) {
  static_cast<SXSnapshotDataAppsBase&>(*this) = SXSnapshotDataAppsBase();
  file_record = SXSnapshotDataFile();
  object_file_record = SXSnapshotDataFile();
  flags = reader.ReadU8();
  kind = reader.ReadU8();
  const bool missing = (flags & kAppFileMissing) != 0;
  if (missing) MarkMissing(&file_record, &file);
  const auto handle_body = [&] {
    handle_type = reader.ReadU8();
    const bool object_missing = reader.ReadU8() != 0;
    object_name = ReadText(reader, true);
    if (object_missing) {
      MarkMissing(&object_file_record, &object_file);
    } else if (handle_type == 1 || handle_type == 2) {
      ReadFile(reader, &object_file_record, &object_file);
    }
  };
  const auto port_body = [&] {
    protocol = reader.ReadU8();
    port_state = reader.ReadU8();
    ReadAddress(reader, &local);
    if (protocol == kAppTcp4 || protocol == kAppTcp6) ReadAddress(reader, &remote);
  };
  switch (kind) {
    case kAppItemInstalled:
      for (std::u16string* text : {&group, &name, &version, &publisher, &path, &uninstall, &install_date}) {
        *text = ReadText(reader, true);
      }
      break;
    case kAppItemProcessHandle:
      handle_body();
      break;
    case kAppItemProcessPort:
      port_body();
      break;
    case kAppItemHandle:
      handle_body();
      name = ReadText(reader, true);
      path = ReadText(reader, true);
      if (!missing) ReadFile(reader, &file_record, &file);
      break;
    case kAppItemPort:
      path = ReadText(reader, true);
      name = ReadText(reader, true);
      port_body();
      break;
    default:
      source = reader.ReadU8();
      state = reader.ReadU8();
      name = ReadText(reader, flags & kAppWideName);
      path = ReadText(reader, flags & kAppWidePath);
      arguments = ReadText(reader, flags & kAppWideArguments);
      description = ReadText(reader, flags & kAppWideDescription);
      if (kind == kAppItemRegistered) registered_name = ReadText(reader, true);
      if (!missing) ReadFile(reader, &file_record, &file);
      break;
  }
}

int SXSnapshotDataApps::CompareRuns(CXMemReader& a, CXMemReader& b, SXScanContext& /*context*/) {
  SXSnapshotDataApps left, right;
  for (;;) {
    left.Read(a);
    right.Read(b);
    if (left.Order(right) != 0 || left.Differs(right)) return 1;
    const bool left_ended = (left.flags & kAppLast) != 0;
    const bool right_ended = (right.flags & kAppLast) != 0;
    if (left_ended || right_ended) return left_ended == right_ended ? 0 : 1;
  }
}

int SXSnapshotDataApps::Order(const SXSnapshotDataScan& other) const {
  return CompareAppItems(*this, static_cast<const SXSnapshotDataApps&>(other));
}

int SXSnapshotDataApps::Differs(const SXSnapshotDataScan& other) const {
  return AppItemsDiffer(*this, static_cast<const SXSnapshotDataApps&>(other)) ? 1 : 0;
}

}  // namespace orvalinth
