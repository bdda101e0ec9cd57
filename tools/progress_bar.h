#pragma once
// CXProgressBar: one line on standard error (or any writer) that shows how
// far a transfer is: a bar, bytes done and total, percent, rate and the time
// left. It is redrawn in place with a carriage return, at most every
// `interval_ms`, and ended with a newline.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvalinth::tools {

class CXProgressBar {
 public:
  using Writer = std::function<void(std::string_view)>;

  explicit CXProgressBar(Writer writer, int64_t interval_ms = 100) : writer_(std::move(writer)), interval_ms_(interval_ms) {}

  // A transfer of `total` bytes begins (drawn at once).
  void Start(int64_t total);
  // `done` bytes have arrived.
  void Update(int64_t done);
  // Draws the last state and ends the line.
  void Finish();

  // The line for `done` of `total` bytes after `elapsed_ms`, without the
  // leading carriage return, e.g.
  // "[##########..........]  64.0 KiB / 128.0 KiB  50%  1.0 MiB/s  0:01 left".
  static std::string Render(int64_t done, int64_t total, int64_t elapsed_ms);
  // 1536 gives "1.5 KiB"; below 1024 "N B".
  static std::string Bytes(double bytes);

 private:
  void Draw(int64_t now_ms);

  Writer writer_;
  int64_t interval_ms_;
  int64_t total_ = 0;
  int64_t done_ = 0;
  int64_t started_ms_ = 0;
  int64_t drawn_ms_ = 0;
  size_t last_width_ = 0;
  bool active_ = false;
};

}  // namespace orvalinth::tools
