#pragma once
// The running processes and their modules, as the processes collector of the
// applications scan reads them.
//
// win32: the process-status library ("EnumProcesses", "EnumProcessModules",
// "GetModuleFileNameExW", loaded by name from "PSAPI.DLL") and
// "NtQueryInformationProcess" from "ntdll.dll"; a process is opened for
// querying and reading its memory (0x410).
// POSIX: real Linux data from /proc: the ids are the numeric entries of
// /proc; a process can be opened when its /proc/<pid>/exe can be read (kernel
// threads and other users' processes cannot); its modules are the files its
// /proc/<pid>/maps maps, the main executable first, each once, in the order
// of their first mapping; file names go back to Windows form through the
// drive table. Its memory holds only what the command-line reader asks for:
// a process environment block and process parameters in the 64-bit Windows
// layout, built from /proc/<pid>/exe and /proc/<pid>/cmdline (the exe path
// in double quotes as the first argument, the others quoted by the Windows
// rules).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// One process opened for querying and reading.
class OpenedProcess {
 public:
  virtual ~OpenedProcess() = default;
  // The process's modules (EnumProcessModules), at most `max` of them, the
  // main executable first; false when they cannot be listed.
  virtual bool Modules(uint32_t max, std::vector<uint64_t>* modules) = 0;
  // The file name of `module` (GetModuleFileNameExW, at most 520 units).
  virtual bool ModuleFileName(uint64_t module, std::u16string* name) = 0;
  // The address of the process environment block (NtQueryInformationProcess,
  // basic information); false when the query fails or names none.
  virtual bool EnvironmentBlock(uint64_t* address) = 0;
  // Reads up to `size` bytes at `address` of the process's memory; false
  // when nothing can be read. `read` receives the bytes read.
  virtual bool ReadMemory(uint64_t address, void* buffer, size_t size, size_t* read) = 0;
};

class ProcessTable : public Facility<ProcessTable> {
 public:
  virtual ~ProcessTable() = default;
  // Whether the process list can be read at all ("EnumProcesses" and
  // "EnumProcessModules" present).
  virtual bool Available() = 0;
  // The ids of the running processes (EnumProcesses): at most `room_bytes`
  // / 4 of them into `ids`; `bytes` receives the bytes filled. False when
  // the call fails; `bytes` then says how many bytes it wanted, when it knows.
  virtual bool ProcessIds(uint32_t room_bytes, std::vector<uint32_t>* ids, uint32_t* bytes) = 0;
  // Opens `pid` for querying and reading; null when it cannot be opened.
  virtual std::unique_ptr<OpenedProcess> Open(uint32_t pid) = 0;
};

template <>
ProcessTable& Facility<ProcessTable>::Real();

// The 64-bit layout of a process environment block and its parameters that
// the command line is read through.
inline constexpr size_t kPebReadSize = 712;
inline constexpr size_t kPebParametersOffset = 0x20;
inline constexpr size_t kParametersReadSize = 128;
inline constexpr size_t kParametersCommandLengthOffset = 0x70;
inline constexpr size_t kParametersCommandAddressOffset = 0x78;

}  // namespace orvalinth::platform
