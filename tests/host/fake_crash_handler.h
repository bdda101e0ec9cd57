#pragma once
// A crash handler facility for tests: it records what is installed instead
// of taking the process's faults, and its walks deliver the frames and
// errors a test gives.

#include <functional>
#include <string>
#include <vector>

#include "platform/crash_handler.h"

namespace orvalinth::test {

class FakeCrashHandler final : public platform::CrashHandler {
 public:
  // One event of a walk: a frame, or (when `error_call` is set) an error.
  struct Step {
    platform::StackFrame frame;
    const char* error_call = nullptr;
    uint32_t error_code = 0;
  };

  bool Install(platform::FaultFunction on_fault) override {
    ++installs;
    installed = on_fault;
    return install_result;
  }
  void Uninstall() override { installed = nullptr; }
  void WalkFault(const platform::FaultInfo& fault, platform::StackSink& sink) override {
    walked_faults.push_back(fault.address);
    for (const Step& step : steps) {
      if (during_walk) during_walk();
      if (step.error_call != nullptr) {
        sink.Error(step.error_call, step.error_code, step.frame.address);
      } else {
        sink.Frame(step.frame);
      }
    }
  }
  void WalkHere(platform::StackSink& sink) override {
    for (const Step& step : steps) sink.Frame(step.frame);
  }
  void ShowFatalMessage(const std::string& text) override { messages.push_back(text); }

  // ---- set by tests ----
  std::vector<Step> steps;
  std::function<void()> during_walk;  // runs before every step of WalkFault
  bool install_result = true;

  // ---- read by tests ----
  int installs = 0;
  platform::FaultFunction installed = nullptr;
  std::vector<uint64_t> walked_faults;
  std::vector<std::string> messages;
};

}  // namespace orvalinth::test
