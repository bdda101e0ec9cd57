#include "server/catalog.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "server/catalog_rows.h"

namespace orvalinth::server {
namespace {

// splitmix64's finaliser: every bit of the uid reaches every bit of the offset.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// The first of the slots k * interval + offset that is at or after `t`.
int64_t FirstSlotFrom(int64_t t, int64_t interval, int64_t offset) {
  const int64_t k = FloorDiv(t - offset + interval - 1, interval);
  return k * interval + offset;
}

}  // namespace

int64_t ScheduleJitter(int32_t uid, int64_t jitter_seconds) {
  if (jitter_seconds <= 0) return 0;
  return static_cast<int64_t>(Mix(static_cast<uint32_t>(uid)) % static_cast<uint64_t>(jitter_seconds + 1));
}

int64_t DueTime(int32_t uid, int64_t last_scan_time, int64_t first_seen, const SXScheduleRow& schedule) {
  const int64_t interval = schedule.interval_seconds > 0 ? schedule.interval_seconds : 1;
  const int64_t offset = ScheduleJitter(uid, schedule.jitter_seconds) % interval;
  const int64_t from = last_scan_time > 0 ? last_scan_time + interval / 2
                                          : (first_seen > schedule.created_time ? first_seen : schedule.created_time);
  return FirstSlotFrom(from, interval, offset);
}

std::vector<size_t> PrunableSnapshots(const std::vector<SXSnapshotRow>& snapshots, const SXRetention& retention,
                                      int64_t now) {
  std::vector<size_t> out;
  const size_t n = snapshots.size();
  if (!retention.Active() || n < 2) return out;
  std::vector<bool> kept(n, false);
  kept[n - 1] = true;  // the base of the next comparison
  for (size_t i = 0; i < n; ++i) {
    if (snapshots[i].compared) continue;
    kept[i] = true;                  // its comparison is still to come
    if (i > 0) kept[i - 1] = true;   // and this is what it is compared with
  }
  const int64_t age_limit = now - static_cast<int64_t>(retention.keep_days) * 86400;
  for (size_t i = 0; i < n; ++i) {
    if (kept[i]) continue;
    const bool by_count = retention.keep_last <= 0 || i + static_cast<size_t>(retention.keep_last) < n;
    const bool by_age = retention.keep_days <= 0 || snapshots[i].received_time < age_limit;
    if (by_count && by_age) out.push_back(i);
  }
  return out;
}

const char* ChangeKindName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kFiles: return "files";
    case ChangeKind::kRegistry: return "registry";
    case ChangeKind::kApps: return "apps";
  }
  return "?";
}

const char* ChangeCategoryName(ChangeCategory category) {
  switch (category) {
    case ChangeCategory::kAdded: return "added";
    case ChangeCategory::kRemoved: return "removed";
    case ChangeCategory::kChanged: return "changed";
  }
  return "?";
}

const char* RolloutStateName(RolloutState state) {
  switch (state) {
    case RolloutState::kRunning: return "running";
    case RolloutState::kDone: return "done";
    case RolloutState::kStopped: return "stopped";
    case RolloutState::kFailed: return "failed";
  }
  return "?";
}

const char* RolloutMachineStateName(RolloutMachineState state) {
  switch (state) {
    case RolloutMachineState::kWaiting: return "waiting";
    case RolloutMachineState::kSent: return "sent";
    case RolloutMachineState::kUpgraded: return "upgraded";
    case RolloutMachineState::kFailed: return "failed";
    case RolloutMachineState::kSkipped: return "skipped";
  }
  return "?";
}

std::string LikePattern(const std::string& pattern) {
  std::string out;
  out.reserve(pattern.size() + 8);
  for (char c : pattern) {
    if (c == '*') {
      out += '%';
    } else if (c == '?') {
      out += '_';
    } else {
      if (c == '%' || c == '_' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}

std::string JoinProfileLines(const std::vector<std::string>& entries) {
  std::string out;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out += '\n';
    out += entries[i];
  }
  return out;
}

std::vector<std::string> SplitProfileLines(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

bool HasBadProfileLine(const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    if (e.empty() || e.find_first_of("\r\n") != std::string::npos) return true;
  }
  return false;
}

SXInventoryDiff DiffInventory(const std::vector<SXInventoryRow>& stored, const std::vector<SXInventoryRow>& next) {
  using Key = std::tuple<const std::string&, const std::string&, const std::string&, const std::string&>;
  const auto key = [](const SXInventoryRow& r) { return Key(r.category, r.name, r.path, r.detail); };
  std::map<Key, size_t> wanted;  // each row of `next`, at its first place
  for (size_t i = 0; i < next.size(); ++i) wanted.emplace(key(next[i]), i);
  SXInventoryDiff diff;
  for (size_t i = 0; i < stored.size(); ++i) {
    const auto kept = wanted.find(key(stored[i]));
    if (kept == wanted.end()) {
      diff.went.push_back(i);
    } else {
      wanted.erase(kept);
    }
  }
  for (const auto& [row, i] : wanted) diff.came.push_back(i);
  std::sort(diff.came.begin(), diff.came.end());
  return diff;
}

}  // namespace orvalinth::server
