// The scan thread: at most one at a time, started by "scan". It drives one
// recording until every scan job has ended, the console stops it, the
// service stops or a fatal fault is recorded, then reports "scan-done".

#include <system_error>

#include "base/fatal_flag.h"
#include "base/log.h"
#include "link/client.h"
#include "link/wire_text.h"

namespace orvalinth {

int CXClient::StartScanThread(std::string* error) {
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(scan_lock_);
    if (scan_active_) {
      *error = "scan already in progress";
      LogError("%s", error->c_str());
      return 0;
    }
    finished = std::move(scan_thread_);
  }
  // A scan that has reported is at the very end of its thread, which takes
  // the scan lock once more on its way out. Only this (the connection)
  // thread starts scans, so none can start in between.
  if (finished.joinable()) finished.join();
  std::lock_guard<std::mutex> lock(scan_lock_);

  std::unique_ptr<CXScanRecording> recording = recording_factory_ ? recording_factory_(error) : nullptr;
  if (recording == nullptr) {
    if (error->empty()) *error = kRecordingNotAvailable;
    LogError("%s", error->c_str());
    return 0;
  }
  current_snapshot_.store(0);
  scan_number_ = settings_.NextSnapshotNumber();
  scan_reported_ = false;
  // Counted and marked before the thread exists, so that a "stop-scan" or a
  // service stop right after this finds the scan running.
  running_threads_.fetch_add(1);
  scanning_.exchange(1);
  scan_active_ = true;
  try {
    scan_thread_ = std::thread(&CXClient::ScanThreadBody, this, std::move(recording), scan_number_);
  } catch (const std::system_error&) {
    scan_active_ = false;
    scanning_.exchange(0);
    running_threads_.fetch_sub(1);
    *error = "cannot start scan thread";
    LogError("%s", error->c_str());
    return 0;
  }
  return 1;
}

void CXClient::ScanThreadBody(std::unique_ptr<CXScanRecording> recording, int32_t number) {
  current_snapshot_.store(number);
  const int started = recording->StartRecording(number);
  if (started != 0) {
    // The end of the last job wakes the wait at once; a stop or a fatal
    // fault is seen within one sleep.
    while (stop_.load() == 0) {
      const int running = recording->WaitWhileRecording(static_cast<uint32_t>(timing_.sleep_ms));
      if (scanning_.load() == 0 || running == 0 || FatalFlag() != 0) break;
    }
  }

  if (started == 0) {
    const std::string text = recording->ErrorText();
    LogError("%s", text.c_str());
    ReportScanDone(0, number, text);
  } else if (scanning_.load() == 0 || stop_.load() != 0) {
    // Stopped by the console or by the service: nothing is reported.
    recording->AbortRecording();
  } else if (FatalFlag() != 0) {
    recording->AbortRecording();
    ReportScanDone(0, number, "fatal exception");
  } else if (recording->FinishRecording(number) == 0) {
    const std::string text = recording->ErrorText();
    LogError("%s", text.c_str());
    ReportScanDone(0, number, text);
  } else {
    ReportScanDone(1, number, std::string());
  }
  recording.reset();

  {
    std::lock_guard<std::mutex> lock(scan_lock_);
    scan_active_ = false;
  }
  running_threads_.fetch_sub(1);
}

void CXClient::ReportScanDone(int ok, int32_t number, const std::string& text) {
  // The catalog step comes first, outside the link lock: the next number and
  // an empty name for the next scan.
  if (ok != 0 && settings_.CompleteSnapshot() == 0) LogError("cannot save settings");
  {
    // From here the snapshot is no longer being recorded: a "down-ack" that
    // overtakes the end of this thread deletes it as it should.
    std::lock_guard<std::mutex> lock(scan_lock_);
    scan_reported_ = true;
  }

  SXScanReport report;
  report.ok = ok;
  report.number = number;
  report.text = text;
  waiting_senders_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(link_lock_);
    waiting_senders_.fetch_sub(1);
    // Only on a greeted link: between a connect and "info" the console
    // expects the greeting. Otherwise, or when the link has just broken, the
    // report goes out after the next greeting (the connection thread
    // reconnects at its next pass).
    if (is_connected_.load() != 1 || !SendScanDoneLocked(report)) unsent_reports_.push_back(std::move(report));
  }
  scanning_.exchange(0);
  std::lock_guard<std::mutex> lock(scan_lock_);
  scan_active_ = false;
}

bool CXClient::SendScanDoneLocked(const SXScanReport& report) {
  outgoing_.Init("scan-done").AddInt("ok", report.ok);
  if (report.ok != 0) {
    outgoing_.AddInt("id-snapshot", report.number);
  } else {
    outgoing_.AddString("msg", WireValue(report.text));
  }
  if (SendMessage(outgoing_)) return true;
  is_connected_.store(0);
  return false;
}

void CXClient::EndScanThread() {
  std::thread ending;
  {
    std::lock_guard<std::mutex> lock(scan_lock_);
    if (!scan_thread_.joinable()) return;
    scanning_.exchange(0);
    ending = std::move(scan_thread_);
  }
  ending.join();
}

int CXClient::StopScan(const std::string& text) {
  EndScanThread();
  std::lock_guard<std::mutex> lock(link_lock_);
  outgoing_.Init("stop-scan").AddInt("ok", text.empty() ? 1 : 0);
  if (!text.empty()) outgoing_.AddString("msg", text);
  return SendMessage(outgoing_) ? 1 : 0;
}

int32_t CXClient::SnapshotToDiscard() {
  std::lock_guard<std::mutex> lock(scan_lock_);
  return scan_active_ ? scan_number_ : current_snapshot_.load();
}

bool CXClient::IsBeingRecorded(int32_t n) {
  std::lock_guard<std::mutex> lock(scan_lock_);
  return scan_active_ && !scan_reported_ && scan_number_ == n;
}

}  // namespace orvalinth
