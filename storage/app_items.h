#pragma once
// SXSnapshotDataAppsBase: one application item, the single record that every
// collector of the applications scan makes (startup entries, services,
// drivers, processes and modules, installed and found programs, open handles
// and ports), with its byte format inside an applications payload and the
// item order of a run.
//
// Format. Every item begins with
//   flags (uint8): 0x01, 0x02, 0x04, 0x08 when the name, path, arguments,
//     description hold a unit above 255 (over the units written); 0x10 the
//     item's file was not found; 0x80 last item of the run; 0x20, 0x40 zero;
//   kind (uint8).
// A text is a uint16 count of units (cut to 65,535) and the units: narrow
// (one byte each) or wide (UTF-16LE). Kinds 1, 2, 3 and 5 write name, path,
// arguments and description wide only when their flag bit says so; every
// other text is always wide. The body by kind:
//   1, 2, 3, 5 (and any other): source (uint8), state (uint8), name, path,
//     arguments, description; kind 5: the registered name (wide); then,
//     unless 0x10, the file record of path;
//   4: group, name, version, publisher, path (install folder), uninstall
//     command, install date, all wide; no file record;
//   6: handle type (uint8), object file missing (uint8: 1 missing, 0 not),
//     object name (wide); when the object file is present and the handle type
//     is 1 or 2, the object file record;
//   7: protocol (uint8), port state (uint8), local address; for protocols 1
//     and 3 (TCP) the remote address;
//   8: the kind-6 body, name (wide), path (wide), then, unless 0x10, the file
//     record of path;
//   9: path (wide), name (wide), then the kind-7 body.
// An address is its length code (uint8), its port (uint16) and, for codes 2
// and above, that many address bytes. The file records are those of
// storage/data_file.h with an empty name and without the end mark.

#include <cstdint>
#include <string>

#include "storage/file_records.h"

namespace orvalinth {

class CXMemWriter;

// The applications categories, one section each, always all eight and in
// this order.
enum AppCategory : int {
  kAppStartup = 0,
  kAppServices = 1,
  kAppDrivers = 2,
  kAppProcesses = 3,
  kAppModules = 4,
  kAppPrograms = 5,
  kAppHandles = 6,
  kAppPorts = 7,
  kAppCategoryCount = 8,
};

// "Startup", "Services", "Drivers", "Running Processes", "Loaded Dlls",
// "Programs", "Opened Handles", "Opened Ports".
extern const char16_t* const kAppCategoryNames[kAppCategoryCount];

// Kinds of items.
enum AppItemKind : uint8_t {
  kAppItemExecutable = 1,     // startup entry, process, loaded module, found program
  kAppItemDriver = 2,
  kAppItemService = 3,
  kAppItemInstalled = 4,      // installed program
  kAppItemRegistered = 5,     // program registered under App Paths
  kAppItemProcessHandle = 6,  // open handle inside a process node
  kAppItemProcessPort = 7,    // open port inside a process node
  kAppItemHandle = 8,         // open handle of "Opened Handles"
  kAppItemPort = 9,           // open port of "Opened Ports"
};

// Sources of kinds 1 and 5; kinds 2 and 3 hold the start type (0 to 4) or
// kAppSourceUnread.
enum : uint8_t {
  kAppSourceStartup = 2,
  kAppSourceUnread = 5,  // the service's configuration could not be read
  kAppSourceFound = 10,  // process, module or found program
};

// Item flags.
enum : uint8_t {
  kAppWideName = 0x01,
  kAppWidePath = 0x02,
  kAppWideArguments = 0x04,
  kAppWideDescription = 0x08,
  kAppFileMissing = 0x10,
  kAppLast = 0x80,
};

// Protocols of port items.
enum : uint32_t {
  kAppTcp4 = 1,
  kAppUdp4 = 2,
  kAppTcp6 = 3,
  kAppUdp6 = 4,
};

// An address of a port item. The length code is 4 for IPv4, 16 for IPv6, 0
// when every address byte is zero and 1 when all but the last are zero and
// the last is 1; with codes 0 and 1 no byte is stored.
struct SXAddrRecord {
  uint8_t length_code = 0;
  uint8_t bytes[16] = {};
  uint16_t port = 0;  // host order

  // The record of the `n` (4 or 16) address bytes and the port.
  static SXAddrRecord Of(const uint8_t* address, int n, uint16_t port);
};

// The address order: length code first; equal codes below 2 by port, others
// by the stored bytes, then by port. Negative, zero or positive.
int CompareAddresses(const SXAddrRecord& a, const SXAddrRecord& b);

struct SXSnapshotDataAppsBase {
  // Kind, source, state and handle type 0, texts empty, both file records
  // without version, not missing and without a name.
  SXSnapshotDataAppsBase();

  uint8_t kind;
  uint8_t source;
  uint8_t state;  // kinds 2 and 3: the service's current state (1 stopped ... 7 paused)
  std::u16string name;
  std::u16string path;  // kind 4: the install folder
  std::u16string arguments;
  std::u16string description;  // kinds 2 and 3
  std::u16string publisher;    // kind 4
  std::u16string version;      // kind 4
  std::u16string uninstall;    // kind 4: the uninstall command
  std::u16string install_date; // kind 4: eight digits, year, month, day
  std::u16string group;        // kind 4
  std::u16string registered_name;  // kind 5
  uint32_t handle_type;        // kinds 6 and 8: 0 other, 1 file, 2 folder, 3 registry key
  std::u16string object_name;  // kinds 6 and 8
  uint8_t port_state;          // kinds 7 and 9: the TCP state (0 for UDP)
  uint32_t protocol;           // kinds 7 and 9: kAppTcp4 ... kAppUdp6
  SXAddrRecord local;
  SXAddrRecord remote;         // TCP only
  SXFileRecord file;           // the file named by path (name_length 0)
  SXFileRecord object_file;    // kinds 6 and 8: the file named by the object name
};

// Writes one item; `last` adds the end mark.
void WriteAppItem(CXMemWriter& writer, const SXSnapshotDataAppsBase& item, bool last);

// The item order of a run: name, then path (A-Z folded, then the units
// compared ordinally), then by a's kind: kinds 6 and 8 the object name the
// same way; kinds 7 and 9 the protocol, the local address, the remote
// address, then the port state; every other kind the arguments the same way.
// Negative, zero or positive.
int CompareAppItems(const SXSnapshotDataAppsBase& a, const SXSnapshotDataAppsBase& b);

// Whether `b`, equal to `a` under the item order but from another snapshot,
// has changed: kind 4 when the version differs (A-Z case ignored); kind 6
// when the handle type or the object name differs, or, both object files
// being present, their last-write times or sizes; kind 8 when the name or
// path differs, else as kind 6; kinds 7 and 9 never; every other kind when
// source or state differ, when only one of the two files is missing, or,
// both present, when their last-write times or sizes differ. By a's kind.
bool AppItemsDiffer(const SXSnapshotDataAppsBase& a, const SXSnapshotDataAppsBase& b);

}  // namespace orvalinth
