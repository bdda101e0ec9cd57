#pragma once
// CXAppsScan: the applications job of a recording. It runs only for a full
// request, or when the applications list of the request holds exactly one
// entry and that entry begins with "*" (specific applications cannot be
// asked for). On its own thread, with COM initialised apartment-threaded, it
// creates the eight categories and runs the four collector phases in order:
//   1. startup entries (CXStartupInfo)            "Startup"
//   2. services and drivers (CXServicesInfo)      "Services", "Drivers"
//   3. processes with their modules, handles and ports
//                                                 "Running Processes", "Loaded Dlls",
//                                                 "Opened Handles", "Opened Ports"
//   4. installed programs and programs found      "Programs"
// then hands the eight categories over to the writer, in the order above,
// each a section of the applications kind named after it. Before each phase
// and before the hand-over the job reads its thread state (under the thread
// object's lock): a stop skips everything left, the hand-over included, so a
// stopped scan leaves no applications section at all. A phase whose
// collector does not exist (yet) leaves its categories empty; an empty
// category is still handed over: its payload is the format mark 0x01 and the
// root node table with both offsets 0.
//
// Counting (kind 2): the first progress counter gets one per startup entry,
// service, driver and found program, the second one per distinct loaded
// module.

#include <cstdint>
#include <memory>
#include <string>

#include "record/scan_thread.h"
#include "storage/app_items.h"
#include "storage/mem_writer.h"

namespace orvalinth {

class CXPayloadSpool;
class CXScanRequest;
class CXSerializedAccessInt;
class CXSnapshotIO;
class CXSnapshotWriter;
struct SXExeVersion;
struct SXFileRecord;

// One category: a payload that begins with the format mark 0x01 (so that no
// run or table starts at offset 0, which means "none"), and the two offsets
// its root node gets.
struct SXAppCategory {
  SXAppCategory();
  ~SXAppCategory();

  CXMemWriter payload;
  // Where a long payload streams as it is built (storage/payload_spool.h);
  // null: the payload is held whole.
  std::unique_ptr<CXPayloadSpool> spool;
  int32_t child_offset = 0;  // the category's child node table (offset A), or 0
  int32_t items_offset = 0;  // the category's own item run (offset B), or 0
};

// What every collector works with.
struct SXAppsScanContext {
  CXScanThread* thread = nullptr;          // whose state carries the stop request
  CXSerializedAccessInt* entries = nullptr;  // first progress counter: entries, services, drivers, programs
  CXSerializedAccessInt* modules = nullptr;  // second progress counter: distinct loaded modules
  CXSnapshotIO* writer = nullptr;          // the file-information service's version table
  SXAppCategory* categories = nullptr;     // kAppCategoryCount of them

  // Whether a stop was requested: the thread's state, read under its lock.
  bool StopRequested() const;
  SXAppCategory& category(int which) const { return categories[which]; }
  // The file-information service: looks `path` up on disk and, when it is
  // there, in the snapshot's executable-version table (shared with the file
  // scan, under the same locks); the record is marked missing otherwise.
  // `version`, when given, receives the version strings. 1 when found.
  int LookUpFile(const std::u16string& path, SXFileRecord* file, SXExeVersion* version = nullptr) const;
};

// The collector of one phase: made for the phase, run once, destroyed.
class CXAppsCollector {
 public:
  virtual ~CXAppsCollector() = default;
  // Fills the phase's categories (payloads and offsets). Failures only make
  // fewer items; nothing is reported.
  virtual void Run(SXAppsScanContext& context) = 0;
};

class CXAppsScan : public CXScanThread {
 public:
  enum Phase : int {
    kPhaseStartup = 0,
    kPhaseServices = 1,
    kPhaseProcesses = 2,
    kPhasePrograms = 3,
    kPhaseCount = 4,
  };

  // Whether `request` asks for the applications: a full request, or an
  // applications list of exactly one entry (none excluded) beginning with "*".
  static bool Requested(const CXScanRequest& request);

  explicit CXAppsScan(CXSnapshotWriter& writer);
  ~CXAppsScan() override;

 protected:
  void Run() override;
  // The collector of `phase`; null for a phase without one.
  virtual std::unique_ptr<CXAppsCollector> MakeCollector(int phase);

 private:
  // Stores every category as a section.
  void HandOver(SXAppCategory* categories);

  CXSnapshotWriter& writer_;
};

}  // namespace orvalinth
