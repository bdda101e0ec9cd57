#include "settings/saved_snapshots.h"

#include <limits>
#include <memory>

#include "base/paths.h"
#include "platform/files.h"

namespace orvalinth {

int32_t DecimalValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  // Held in 64 bits and stopped at the first digit beyond the 32-bit range, so
  // that a hand-edited "SnapshotCnt:99999999999" cannot overflow.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value >= kLimit) {
      value = kLimit;
      break;
    }
    ++i;
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value >= kLimit ? kLimit - 1 : value);
}

std::vector<std::string> SplitSavedSnapshots(const std::string& saved, bool empty_is_none) {
  std::vector<std::string> entries;
  if (saved.empty() && empty_is_none) return entries;
  size_t begin = 0;
  for (;;) {
    const size_t comma = saved.find(',', begin);
    if (comma == std::string::npos) {
      entries.push_back(saved.substr(begin));
      return entries;
    }
    entries.push_back(saved.substr(begin, comma - begin));
    begin = comma + 1;
  }
}

std::string JoinSavedSnapshots(const std::vector<std::string>& entries) {
  std::string text;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) text += ',';
    text += entries[i];
  }
  return text;
}

std::string KeepReadableSnapshots(const std::string& saved) {
  std::vector<std::string> entries = SplitSavedSnapshots(saved, true);
  platform::FileSystem& files = platform::FileSystem::Get();
  for (size_t i = entries.size(); i-- > 0;) {
    const std::unique_ptr<platform::File> file = files.Open(SnapshotPath(DecimalValue(entries[i])), platform::kOpenRead);
    if (file == nullptr) entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return JoinSavedSnapshots(entries);
}

}  // namespace orvalinth
