#include "host/run_program.h"

#include "platform/process.h"

namespace orvalinth {

bool RunProgram(const std::u16string& program, const std::u16string& arguments, RunProgramMode mode) {
  const std::u16string command_line = u"\"" + program + u"\" " + arguments;
  platform::RunMode how = platform::RunMode::kWait;
  if (mode == RunProgramMode::kDetached) how = platform::RunMode::kDetached;
  if (mode == RunProgramMode::kReplace) how = platform::RunMode::kReplace;
  return platform::Process::Get().Start(program, command_line, how);
}

bool RunProgramInPlace(const std::u16string& program, const std::u16string& arguments,
                       const std::function<void()>& hand_over) {
  return platform::Process::Get().StartInPlace(program, u"\"" + program + u"\" " + arguments, hand_over);
}

}  // namespace orvalinth
