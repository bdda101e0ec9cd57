#include "tools/progress_bar.h"

#include "base/strings.h"
#include "platform/clock.h"

namespace orvalinth::tools {
namespace {

constexpr int kBarWidth = 20;

std::string Duration(int64_t seconds) {
  // Two digits for the minutes and seconds after a larger unit.
  const int s = static_cast<int>(seconds % 60);
  const int m = static_cast<int>(seconds / 60 % 60);
  if (seconds >= 3600) return std::to_string(seconds / 3600) + Format(":%02d:%02d", m, s);
  return std::to_string(seconds / 60) + Format(":%02d", s);
}

}  // namespace

std::string CXProgressBar::Bytes(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return Format("%.0f B", bytes);
  int unit = -1;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  return Format("%.1f %s", bytes, kUnits[unit]);
}

std::string CXProgressBar::Render(int64_t done, int64_t total, int64_t elapsed_ms) {
  const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  const double clamped = fraction > 1.0 ? 1.0 : fraction;
  const int filled = static_cast<int>(clamped * kBarWidth);
  std::string line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  line += "  " + Bytes(static_cast<double>(done)) + " / " + Bytes(static_cast<double>(total));
  line += Format("  %3d%%", static_cast<int>(clamped * 100));
  if (elapsed_ms > 0 && done > 0) {
    const double rate = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsed_ms);
    line += "  " + Bytes(rate) + "/s";
    if (done < total) {
      line += "  " + Duration(static_cast<int64_t>(static_cast<double>(total - done) / rate + 0.999)) + " left";
    } else {
      line += "  " + Duration(elapsed_ms / 1000) + " total";
    }
  }
  return line;
}

void CXProgressBar::Start(int64_t total) {
  total_ = total;
  done_ = 0;
  started_ms_ = platform::MonotonicMs();
  last_width_ = 0;
  active_ = true;
  Draw(started_ms_);
}

void CXProgressBar::Update(int64_t done) {
  if (!active_) return;
  done_ = done;
  const int64_t now = platform::MonotonicMs();
  if (now - drawn_ms_ >= interval_ms_) Draw(now);
}

void CXProgressBar::Finish() {
  if (!active_) return;
  Draw(platform::MonotonicMs());
  writer_("\n");
  active_ = false;
}

void CXProgressBar::Draw(int64_t now_ms) {
  drawn_ms_ = now_ms;
  std::string line = Render(done_, total_, now_ms - started_ms_);
  // Blanks cover what a longer earlier line left behind.
  const size_t width = line.size();
  if (width < last_width_) line += std::string(last_width_ - width, ' ');
  last_width_ = width;
  writer_("\r" + line);
}

}  // namespace orvalinth::tools
