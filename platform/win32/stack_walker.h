#pragma once
// StackWalker: the call stack of a thread from a context record, through the
// debug-help library (dbghelp.dll) loaded at run time: first from the
// debugging-tools folders under the program-files folder, then by name.
//
// Each walk initialises the symbol handler with the search path of the
// current folder, the executable's folder, "_NT_SYMBOL_PATH",
// "_NT_ALTERNATE_SYMBOL_PATH", "SYSTEMROOT" and its "system32", and a symbol
// server cache in "\websymbols" of the drive "SYSTEMDRIVE"; loads the symbols
// of every module of the process (tool-help snapshot, else the process status
// library); walks with StackWalk64; and looks up each frame's symbol,
// undecorated names, source line and module. Failing calls are reported to
// the sink where they occur; the walk goes on where it can.

#include <cstdint>
#include <string>

#include "platform/crash_handler.h"
#include "platform/win32/win.h"

namespace orvalinth::platform::win32 {

class StackWalker {
 public:
  static constexpr int kMaxFrames = 512;
  // The library's functions, found by Load (defined in the .cpp).
  struct Functions;

  // Loads the library and finds its functions (done once, at installation,
  // so that a fault does not have to load a library); false when it is
  // missing or too old, and then walks report only that.
  bool Load();
  bool loaded() const { return library_ != nullptr; }

  // Walks `thread` (the faulting thread, or the calling one) from `context`.
  void Walk(HANDLE thread, const CONTEXT& context, StackSink& sink);

  // The symbol search path (built anew for each walk).
  static std::string SearchPath();

 private:
  // Loads the symbols of every module of the process; false when neither
  // way of listing them works.
  bool LoadModules(HANDLE process);
  bool LoadModulesToolHelp(HANDLE process);
  bool LoadModulesPsapi(HANDLE process);
  void LoadModule(HANDLE process, const std::string& image, const std::string& name, uint64_t base, uint32_t size);
  // The frame at `address`: its names, source line and module.
  void Describe(HANDLE process, uint64_t address, StackFrame* frame, StackSink& sink);

  HMODULE library_ = nullptr;
  const Functions* functions_ = nullptr;
};

}  // namespace orvalinth::platform::win32
