#pragma once
// The recording that a scan thread drives: one snapshot, from start to a
// finished file in the catalog or an aborted one that is deleted. The
// program's recording is the record controller; tests give their own.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvalinth {

class CXScanRecording {
 public:
  virtual ~CXScanRecording() = default;
  // Creates snapshot file `number` and starts the scan jobs; 1 when recording
  // started, else 0 (ErrorText says why).
  virtual int StartRecording(int32_t number) = 0;
  // Non-zero while a scan job still runs.
  virtual int IsRecording() = 0;
  // Waits at most `timeout_ms` while a scan job runs, returning as soon as
  // the last one ends; what IsRecording says then. This one sleeps the whole
  // time (for recordings that cannot tell when their jobs end).
  virtual int WaitWhileRecording(uint32_t timeout_ms);
  // Completes snapshot `number`: the file is closed and the number joins the
  // catalog's saved snapshots (AddSnapshot). 1 on success, else 0 (ErrorText).
  virtual int FinishRecording(int32_t number) = 0;
  // Stops the jobs, waiting for them, and deletes the partial file.
  virtual void AbortRecording() = 0;
  // The reason of the last failure, as one text for the console and the log.
  virtual std::string ErrorText() = 0;
};

// Makes the recording of one scan; null with *error when there is none.
using ScanRecordingFactory = std::function<std::unique_ptr<CXScanRecording>(std::string* error)>;

class CXClientSettings;

// The recording of the program's scans: a record controller that takes its
// targets from `settings` and adds its snapshot to their catalog.
std::unique_ptr<CXScanRecording> CreateScanRecording(CXClientSettings& settings, std::string* error);

}  // namespace orvalinth
