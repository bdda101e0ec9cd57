#pragma once
// The system's table of open handles, as the open-handles collector of the
// applications scan reads it.
//
// win32: "NtQuerySystemInformation" (class 16, the buffer doubling from 64
// KiB while the answer is STATUS_INFO_LENGTH_MISMATCH), "NtDuplicateObject"
// and "NtQueryObject" (class 2 for the type, class 1 for the name), resolved
// by name from "ntdll.dll"; owners are opened with PROCESS_DUP_HANDLE (0x40)
// and handles duplicated into this process without access rights.
// POSIX: real Linux data from /proc: the entries are the open descriptors
// under /proc/<pid>/fd of every process (the descriptor as the handle
// value); an owner can be opened when its fd folder can be listed; a
// descriptor's type is "File" for a regular file, "Directory" for a folder,
// "Socket", "Pipe" or "Other" else; its name is the target of its link in
// Windows form (through the drive table) for files and folders, the link
// text as it is ("socket:[123]") for the rest.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// One entry of the system handle table.
struct SystemHandleEntry {
  uint32_t pid = 0;
  uint16_t handle = 0;
  uint32_t access = 0;  // the access granted to the handle (POSIX: 0)
};

// A handle of another process duplicated into this one (closed when the
// object goes).
class DuplicatedHandle {
 public:
  virtual ~DuplicatedHandle() = default;
  // The object's type name ("File", "Key", "Directory", ...).
  virtual bool TypeName(std::u16string* type) = 0;
  // The object's name, queried into the caller's `buffer` of `size` bytes
  // (aligned for pointers). A buffer too small gives false with `needed`,
  // the size it asks for; any other failure false with `needed` 0. This is
  // the query that can block indefinitely.
  virtual bool QueryName(void* buffer, uint32_t size, uint32_t* needed, std::u16string* name) = 0;
};

// A process opened to duplicate its handles.
class HandleOwner {
 public:
  virtual ~HandleOwner() = default;
  // Duplicates `handle` into this process; null when it cannot.
  virtual std::unique_ptr<DuplicatedHandle> Duplicate(uint16_t handle) = 0;
};

class HandleTable : public Facility<HandleTable> {
 public:
  virtual ~HandleTable() = default;
  // Every open handle of the system, grouped by process. False with a
  // short text ("NQSI missing", "NDO missing", "NQO missing", "realloc
  // failed", "NQSI error %x") when the table cannot be read.
  virtual bool Entries(std::vector<SystemHandleEntry>* entries, std::string* error) = 0;
  // Opens the owner `pid`; null when it cannot be opened.
  virtual std::unique_ptr<HandleOwner> OpenOwner(uint32_t pid) = 0;
  // Whether names of file handles must not be asked for (Windows 5.1 and
  // older, where such a query hangs too often).
  virtual bool SkipFileHandles() = 0;
};

template <>
HandleTable& Facility<HandleTable>::Real();

}  // namespace orvalinth::platform
