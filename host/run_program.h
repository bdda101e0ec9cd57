#pragma once
// Starting another program (or another copy of this one).

#include <functional>
#include <string>

namespace orvalinth {

enum class RunProgramMode {
  kWait,      // start it and wait until it ends
  kDetached,  // start it and return at once
  kReplace,   // start it, then end this process at once with exit code 0
              // without exit-time cleanup; returns only when it could not start
};

// Starts `program` with the command line: a double quote, the program path, a
// double quote, one blank and `arguments`. Callers do not check the result.
bool RunProgram(const std::u16string& program, const std::u16string& arguments, RunProgramMode mode);

// RunProgram in replace mode with a hand-over: the program is started held
// back, `hand_over` runs, and only then does the program run in place of this
// process. Returns only when the program could not be started; `hand_over`
// has then not run (see platform::Process::StartInPlace for POSIX).
bool RunProgramInPlace(const std::u16string& program, const std::u16string& arguments,
                       const std::function<void()>& hand_over);

}  // namespace orvalinth
