#include "storage/app_items.h"

#include <cstring>

#include "storage/data_file.h"
#include "storage/mem_writer.h"
#include "base/strings.h"

namespace orvalinth {
namespace {

constexpr int32_t kLongestText = 0xFFFF;

int32_t WrittenUnits(const std::u16string& text) {
  return text.size() > static_cast<size_t>(kLongestText) ? kLongestText : static_cast<int32_t>(text.size());
}

bool WrittenWide(const std::u16string& text) { return !FitsNarrow(text.data(), WrittenUnits(text)); }

void WriteText(CXMemWriter& writer, const std::u16string& text, bool wide) {
  const int32_t n = WrittenUnits(text);
  writer.WriteU16(static_cast<uint16_t>(n));
  writer.WriteUnits(text.data(), n, wide);
}

void WriteFile(CXMemWriter& writer, const SXFileRecord& file) {
  WriteFileRecord(writer, file.version_index, file.attributes, file.last_write, file.size, nullptr, 0, false);
}

void WriteAddress(CXMemWriter& writer, const SXAddrRecord& address) {
  writer.WriteU8(address.length_code);
  writer.WriteU16(address.port);
  if (address.length_code >= 2) writer.WriteBytes(address.bytes, address.length_code > 16 ? 16 : address.length_code);
}

void WriteHandleBody(CXMemWriter& writer, const SXSnapshotDataAppsBase& item) {
  writer.WriteU8(static_cast<uint8_t>(item.handle_type));
  writer.WriteU8(item.object_file.missing ? 1 : 0);
  WriteText(writer, item.object_name, true);
  if (!item.object_file.missing && (item.handle_type == 1 || item.handle_type == 2)) WriteFile(writer, item.object_file);
}

void WritePortBody(CXMemWriter& writer, const SXSnapshotDataAppsBase& item) {
  writer.WriteU8(static_cast<uint8_t>(item.protocol));
  writer.WriteU8(item.port_state);
  WriteAddress(writer, item.local);
  if (item.protocol == kAppTcp4 || item.protocol == kAppTcp6) WriteAddress(writer, item.remote);
}

template <class T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

bool FilesDiffer(const SXFileRecord& a, const SXFileRecord& b) {
  return a.last_write != b.last_write || a.size != b.size;
}

bool HandlesDiffer(const SXSnapshotDataAppsBase& a, const SXSnapshotDataAppsBase& b) {
  if (a.handle_type != b.handle_type || a.object_name != b.object_name) return true;
  return !a.object_file.missing && !b.object_file.missing && FilesDiffer(a.object_file, b.object_file);
}

SXFileRecord NoFile() {
  SXFileRecord file;
  file.version_index = -1;
  file.attributes = 0;
  file.name_length = 0;
  file.last_write = 0;
  file.size = 0;
  file.missing = 0;
  return file;
}

}  // namespace

const char16_t* const kAppCategoryNames[kAppCategoryCount] = {
    u"Startup", u"Services", u"Drivers", u"Running Processes", u"Loaded Dlls", u"Programs", u"Opened Handles",
    u"Opened Ports"};

SXAddrRecord SXAddrRecord::Of(const uint8_t* address, int n, uint16_t port) {
  SXAddrRecord record;
  record.port = port;
  if (n > 16) n = 16;
  if (n < 0) n = 0;
  bool leading_zero = true;
  for (int i = 0; i + 1 < n; ++i) leading_zero = leading_zero && address[i] == 0;
  const uint8_t last = n > 0 ? address[n - 1] : 0;
  if (leading_zero && last == 0) {
    record.length_code = 0;
  } else if (leading_zero && last == 1) {
    record.length_code = 1;
  } else {
    record.length_code = static_cast<uint8_t>(n);
    std::memcpy(record.bytes, address, static_cast<size_t>(n));
  }
  return record;
}

int CompareAddresses(const SXAddrRecord& a, const SXAddrRecord& b) {
  if (a.length_code != b.length_code) return Sign(a.length_code, b.length_code);
  if (a.length_code >= 2) {
    const int n = a.length_code > 16 ? 16 : a.length_code;
    const int bytes = std::memcmp(a.bytes, b.bytes, static_cast<size_t>(n));
    if (bytes != 0) return bytes < 0 ? -1 : 1;
  }
  return Sign(a.port, b.port);
}

SXSnapshotDataAppsBase::SXSnapshotDataAppsBase()
    : kind(0),
      source(0),
      state(0),
      handle_type(0),
      port_state(0),
      protocol(0),
      file(NoFile()),
      object_file(NoFile()) {}

void WriteAppItem(CXMemWriter& writer, const SXSnapshotDataAppsBase& item, bool last) {
  const std::u16string* texts[4] = {&item.name, &item.path, &item.arguments, &item.description};
  uint8_t flags = 0;
  for (int k = 0; k < 4; ++k) {
    if (WrittenWide(*texts[k])) flags |= static_cast<uint8_t>(1u << k);
  }
  if (item.file.missing) flags |= kAppFileMissing;
  if (last) flags |= kAppLast;
  writer.WriteU8(flags);
  writer.WriteU8(item.kind);
  switch (item.kind) {
    case kAppItemInstalled:
      for (const std::u16string* text : {&item.group, &item.name, &item.version, &item.publisher, &item.path,
                                         &item.uninstall, &item.install_date}) {
        WriteText(writer, *text, true);
      }
      break;
    case kAppItemProcessHandle:
      WriteHandleBody(writer, item);
      break;
    case kAppItemProcessPort:
      WritePortBody(writer, item);
      break;
    case kAppItemHandle:
      WriteHandleBody(writer, item);
      WriteText(writer, item.name, true);
      WriteText(writer, item.path, true);
      if (!item.file.missing) WriteFile(writer, item.file);
      break;
    case kAppItemPort:
      WriteText(writer, item.path, true);
      WriteText(writer, item.name, true);
      WritePortBody(writer, item);
      break;
    default:
      writer.WriteU8(item.source);
      writer.WriteU8(item.state);
      for (int k = 0; k < 4; ++k) WriteText(writer, *texts[k], (flags >> k) & 1);
      if (item.kind == kAppItemRegistered) WriteText(writer, item.registered_name, true);
      if (!item.file.missing) WriteFile(writer, item.file);
      break;
  }
}

int CompareAppItems(const SXSnapshotDataAppsBase& a, const SXSnapshotDataAppsBase& b) {
  int order = CompareNames(a.name, b.name);
  if (order != 0) return order;
  order = CompareNames(a.path, b.path);
  if (order != 0) return order;
  switch (a.kind) {
    case kAppItemProcessHandle:
    case kAppItemHandle:
      return CompareNames(a.object_name, b.object_name);
    case kAppItemProcessPort:
    case kAppItemPort:
      if (a.protocol != b.protocol) return Sign(a.protocol, b.protocol);
      order = CompareAddresses(a.local, b.local);
      if (order != 0) return order;
      order = CompareAddresses(a.remote, b.remote);
      if (order != 0) return order;
      return Sign(a.port_state, b.port_state);
    default:
      return CompareNames(a.arguments, b.arguments);
  }
}

bool AppItemsDiffer(const SXSnapshotDataAppsBase& a, const SXSnapshotDataAppsBase& b) {
  switch (a.kind) {
    case kAppItemInstalled:
      return !EqualsFolded(a.version, b.version);
    case kAppItemProcessHandle:
      return HandlesDiffer(a, b);
    case kAppItemHandle:
      return a.name != b.name || a.path != b.path || HandlesDiffer(a, b);
    case kAppItemProcessPort:
    case kAppItemPort:
      return false;
    default:
      if (a.source != b.source || a.state != b.state) return true;
      if ((a.file.missing != 0) != (b.file.missing != 0)) return true;
      return !a.file.missing && FilesDiffer(a.file, b.file);
  }
}

}  // namespace orvalinth
