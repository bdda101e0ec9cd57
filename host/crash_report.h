#pragma once
// CXCrashReport: the crash report file, "error-log.txt" in the program folder,
// and the lines that go into it. The file is UTF-16LE text that starts with
// the byte-order mark FF FE; lines end with CR LF; every piece of 8-bit text
// is widened byte by byte (each byte becomes the unit of the same value).
//
//   Orvalinth service v2.10 x64                    the title
//   C:\Program Files\Orvalinth\OrvalinthSrv.exe    (left out when unknown)
//   Win 10 Pro x64  Exe64                          OS name + " Exe64"
//   <processor name> 3.52/15.87                    + " " + memory (GiB available/total)
//   2026-12-08 14:03:27                            time of the first write
//   exception at 00007FF6A1B21234 - C0000005 3.50/15.87
//   00007FF6A1B21234 C:\src\record\file_scan.cpp (131): orvalinth::CXFileScan::ScanFolder(...)
//   00007FFB12345678 (ntdll): -: RtlUserThreadStart
//   .
//   (empty line)
//
// Addresses are written as 16 upper-case hexadecimal digits on both builds.
// The exception code is the Windows exception code, or on POSIX the signal
// number (B for SIGSEGV).

#include <cstdint>
#include <string>

#include "platform/crash_handler.h"

namespace orvalinth {

class CXCrashReport {
 public:
  // A report at `path` that begins with `header` (BuildHeader's text).
  CXCrashReport(std::u16string path, std::u16string header);

  // Appends `text` (8-bit, widened byte by byte). The first write of the
  // object creates the file anew, replacing an older report, and writes the
  // byte-order mark, the header and the local time before the text; later
  // writes append. A file that cannot be opened drops the text (and a first
  // write that could not create the file is tried again by the next one).
  void Write(const std::string& text);

  const std::u16string& path() const { return path_; }
  const std::u16string& header() const { return header_; }

  // The header: the title, the executable path (left out when empty), the OS
  // name with " Exe64", the processor name with " " and the memory, each line
  // ending with CR LF.
  static std::u16string BuildHeader(const std::string& title, const std::u16string& executable,
                                    const std::string& os_name, const std::string& processor,
                                    const std::string& memory);
  // BuildHeader with this machine's executable path, OS name, processor name
  // and memory now (it reads the registry: never call it inside the handler).
  static std::u16string MachineHeader(const std::string& title);

 private:
  std::u16string path_;
  std::u16string header_;
  bool first_write_ = true;
};

// "%.02lf/%.02lf": available and total physical memory in GiB.
std::string MemorySituationOf(uint64_t available, uint64_t total);
// The memory situation now; empty when it cannot be read.
std::string MemorySituation();

// ---- the lines of a report's body ----

// An address as Windows prints "%p" for a 64-bit program: 16 upper-case hex digits.
std::string PointerText(uint64_t address);
// "exception at <address> - <code in hex> <memory>\r\n".
std::string FaultLine(uint64_t address, uint32_t code, const std::string& memory);
// One frame: "<address> <file> (<line>): <name>\r\n" with a source file, else
// "<address> (<module or ->): -: <name>\r\n". The name is the undecorated
// full name, else the undecorated name, else the raw name, else "-".
std::string FrameLine(const platform::StackFrame& frame);
// "ERROR: <call>, GetLastError: <code> (Address: <address>)\r\n".
std::string WalkerErrorLine(const char* call, uint32_t code, uint64_t address);
// The end of one report: ".\r\n\r\n".
inline constexpr char kReportEnd[] = ".\r\n\r\n";

}  // namespace orvalinth
