// The walk of a version block, shared by both backends: the same answers as
// VerQueryValueW, but every record is held to its parent's bounds and the
// block's, so that a damaged block cannot lead the reader astray.

#include <algorithm>

#include "platform/version_resources.h"

namespace orvalinth::platform {
namespace {

constexpr size_t kHeaderSize = 6;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }
char16_t FoldAZ(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool KeyIs(const uint8_t* block, const VersionRecord& record, const std::u16string& name, size_t from, size_t count) {
  if (record.key_units != count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (FoldAZ(static_cast<char16_t>(Read16(block + record.key + 2 * i))) != FoldAZ(name[from + i])) return false;
  }
  return true;
}

}  // namespace

bool ReadVersionRecord(const uint8_t* block, size_t start, size_t limit, VersionRecord* record) {
  if (block == nullptr || start > limit || limit - start < kHeaderSize) return false;
  const size_t length = Read16(block + start);
  if (length < kHeaderSize) return false;
  record->start = start;
  record->end = start + std::min(length, limit - start);
  record->next = Align4(start + length);
  record->stated_length = Read16(block + start + 2);
  record->type = Read16(block + start + 4);
  record->key = start + kHeaderSize;
  size_t p = record->key;
  for (;;) {
    if (record->end - p < 2) return false;
    if (Read16(block + p) == 0) break;
    p += 2;
  }
  record->key_units = (p - record->key) / 2;
  // A text value counts units, a binary one bytes.
  const bool text = record->type != 0;
  const size_t value = Align4(p + 2);
  const size_t value_bytes = static_cast<size_t>(record->stated_length) * (text ? 2 : 1);
  record->value = std::min(value, record->end);
  const size_t room = record->end - record->value;
  record->length = static_cast<uint32_t>(std::min<size_t>(record->stated_length, text ? room / 2 : room));
  record->children = std::min(Align4(value + value_bytes), record->end);
  return true;
}

std::u16string VersionRecordKey(const uint8_t* block, const VersionRecord& record) {
  std::u16string key(record.key_units, u'\0');
  for (size_t i = 0; i < record.key_units; ++i) key[i] = static_cast<char16_t>(Read16(block + record.key + 2 * i));
  return key;
}

bool QueryVersionValue(const void* data, size_t size, const std::u16string& sub_block, VersionValue* value) {
  *value = VersionValue();
  const auto* block = static_cast<const uint8_t*>(data);
  VersionRecord current;
  if (!ReadVersionRecord(block, 0, size, &current)) return false;
  size_t i = 0;
  while (i < sub_block.size()) {
    if (sub_block[i] == u'\\') {
      ++i;
      continue;
    }
    size_t end = sub_block.find(u'\\', i);
    if (end == std::u16string::npos) end = sub_block.size();
    bool found = false;
    VersionRecord child;
    for (size_t at = current.children; at < current.end && ReadVersionRecord(block, at, current.end, &child);
         at = child.next) {
      if (KeyIs(block, child, sub_block, i, end - i)) {
        found = true;
        break;
      }
    }
    if (!found) return false;
    current = child;
    i = end;
  }
  value->data = block + current.value;
  value->length = current.length;
  value->text = current.type != 0;
  return true;
}

}  // namespace orvalinth::platform
