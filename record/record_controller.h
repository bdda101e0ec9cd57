#pragma once
// CXClientRecordController: records one snapshot for the scan thread, through
// four operations:
//
//   if (!controller.StartRecording(n)) report(controller.ChainText(true));
//   while (controller.IsRecording() && !stopped && !FatalFlag()) wait(500 ms);
//   if (completed) ok = controller.FinishRecording(n); else controller.AbortRecording();
//
// It prepares the scan request from the settings' scan targets, creates the
// snapshot file "snapshot%03d.snp" of number n in the data folder, and starts
// the registry, file system and applications jobs. A finished snapshot joins
// the settings' catalog; an abandoned or failed one leaves no file behind.
// A controller records one snapshot; destroying it abandons a recording that
// was neither finished nor aborted.

#include <cstdint>
#include <string>

#include "record/scan_request.h"
#include "record/snapshot_recorder.h"

namespace orvalinth {

class CXClientSettings;

class CXClientRecordController : public CXSnapshotRecorder {
 public:
  // Takes its targets from, and adds its snapshot to, `settings`.
  explicit CXClientRecordController(CXClientSettings& settings);
  CXClientRecordController();  // the process-wide settings
  ~CXClientRecordController() override;

  // Builds the scan request from the settings (a full scan has "*" as its
  // include lists), creates the snapshot file `number` with the settings'
  // snapshot title, and starts the jobs. 1 when recording; 0 when the file
  // cannot be created or its header cannot be written (no file is left), or
  // this controller has recorded already: no job runs and the error text is
  // ChainText().
  int StartRecording(int32_t number);
  // The number of jobs still running; 0 once all have ended (or none started).
  int32_t IsRecording();
  // Waits until every job has ended, at most `timeout_ms`, and returns as
  // soon as the last one ends; the number still running then.
  int32_t WaitWhileRecording(uint32_t timeout_ms);
  // Ends a recording whose jobs have all ended: writes the snapshot's last
  // blocks and final header, closes the file and adds the snapshot to the
  // catalog. 1 on success. 0 when any write of the recording failed (the
  // file is deleted and the catalog left as it was), when jobs still run (the
  // recording goes on), or when nothing is being recorded; the error text is
  // ChainText().
  int FinishRecording(int32_t number);
  // Stops every job (waiting, and ending forcibly a job that does not stop
  // within a minute), forgets the recording and deletes its file.
  void AbortRecording();

  const std::u16string& path() const { return path_; }
  const CXScanRequest& request() const { return request_; }

 private:
  CXClientSettings& settings_;
  std::u16string path_;
  CXScanRequest request_;
  bool started_ = false;    // StartRecording was called
  bool file_open_ = false;  // the file exists and is neither finished nor deleted
};

}  // namespace orvalinth
