#pragma once
// Starting another program (or another copy of this one).

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

}  // namespace orvalinth
