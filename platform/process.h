#pragma once
// This process and the programs it starts.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

enum class RunMode {
  kWait,      // start the program and wait until it ends
  kDetached,  // start the program and return at once
  kReplace,   // start the program in place of this process, which ends at
              // once with exit code 0 and without exit-time cleanup; returns
              // only when the program could not be started
};

class Process : public Facility<Process> {
 public:
  virtual ~Process() = default;
  // Full path of the running executable in Windows form; empty when unknown.
  virtual std::u16string ExecutablePath() = 0;
  // The command line as UTF-16 arguments split by the Windows rules; false
  // when it cannot be had.
  virtual bool CommandLineArguments(std::vector<std::u16string>* arguments) = 0;
  // Starts `program` with the complete command line `command_line` (which
  // names the program again as its first argument); false when it cannot start.
  virtual bool Start(const std::u16string& program, const std::u16string& command_line, RunMode mode) = 0;
  // Starts `program` in place of this process as kReplace does, with one
  // step in between: the program is started held back (on Windows created
  // suspended), `hand_over` runs, then the program runs and this process
  // ends at once with exit code 0. Returns only when the program could not
  // be started; `hand_over` has then not run. Where a program cannot be held
  // back (POSIX: exec), the check before `hand_over` is that the file can be
  // executed, and an exec that still fails returns after it. Facilities
  // that do not start programs refuse.
  virtual bool StartInPlace(const std::u16string& program, const std::u16string& command_line,
                            const std::function<void()>& hand_over) {
    (void)program;
    (void)command_line;
    (void)hand_over;
    return false;
  }
};

template <>
Process& Facility<Process>::Real();

// The ending of a program file's name: ".exe" on Windows, none on POSIX.
#ifdef _WIN32
inline constexpr char16_t kProgramFileSuffix[] = u".exe";
#else
inline constexpr char16_t kProgramFileSuffix[] = u"";
#endif

uint32_t CurrentProcessId();

// Ends this process at once with `code`, without exit-time cleanup: no
// destructors of process-wide objects, no exit handlers.
[[noreturn]] void EndProcessNow(int code);

void SleepMs(uint32_t milliseconds);

// Splits a command line into arguments by the Windows rules (those of
// CommandLineToArgvW): the first argument runs to the first blank or tab, or
// between two double quotes, with no escapes; in the others 2n backslashes
// before a double quote give n backslashes and open or close a quoted part,
// 2n+1 give n backslashes and a literal quote, other backslashes are
// literal, and "" inside a quoted part gives one quote.
std::vector<std::u16string> SplitCommandLine(const std::u16string& command_line);

// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::u16string QuoteArgument(const std::u16string& argument);

}  // namespace orvalinth::platform
