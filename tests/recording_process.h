#pragma once
// A process facility that records the programs this process would start
// instead of starting them: the upgrade and the uninstall hand their process
// over to another program (replace mode), which must not end a test process.
// Everything else is the test process (test_support.h).

#include <functional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "test_support.h"

namespace orvalinth::test {

class RecordingProcess final : public platform::Process {
 public:
  struct SXStart {
    std::u16string program;
    std::u16string command_line;
    platform::RunMode mode;
  };

  std::u16string ExecutablePath() override { return test_process().ExecutablePath(); }
  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    return test_process().CommandLineArguments(arguments);
  }
  // Records the start, runs the hook (what the program would have done, when
  // the test needs it) and answers start_result.
  bool Start(const std::u16string& program, const std::u16string& command_line, platform::RunMode mode) override {
    starts.push_back({program, command_line, mode});
    if (on_start) on_start(starts.back());
    return start_result;
  }
  // Records the start (replace mode); runs the hand-over only when the start
  // succeeds, as a program held back would let it.
  bool StartInPlace(const std::u16string& program, const std::u16string& command_line,
                    const std::function<void()>& hand_over) override {
    if (!Start(program, command_line, platform::RunMode::kReplace)) return false;
    hand_over();
    return true;
  }

  std::vector<SXStart> starts;
  bool start_result = true;
  std::function<void(const SXStart&)> on_start;
};

}  // namespace orvalinth::test
