#pragma once
// CXClient: the agent's side of the console link. One connection thread owns
// the link for the life of the service: it connects to the console of the
// settings, greets it and sends "info", then polls for commands, dispatches
// them, streams snapshot downloads between polls and pings an idle link; when
// the link breaks it reconnects. A "scan" command starts the scan thread,
// which drives one recording and reports "scan-done".
//
// Sending: the connection thread's replies, pings and download blocks and the
// scan thread's "scan-done" all go out through this one socket. Every frame
// is sent under the link lock, which also guards the outgoing message, the
// receiving of a frame and every close, so frames never interleave and the
// scan thread never sends on a socket the connection thread is replacing. The
// scan thread sends only while the link is up and greeted (is_connected 1);
// a "scan-done" that finds no such link waits under the link lock and goes
// out right after the next greeting, so that no console misses how a scan
// ended.
//
// Locks, in the order they may be nested: the link lock, the scan lock, the
// settings lock. Only "scan" nests them (a new scan's "scan-done" must not
// overtake the reply). Nothing waits for a scan thread while holding a lock,
// except a new scan, which (under the link lock) collects the thread of a
// scan that has reported: on its way out that one takes only the scan lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/message.h"
#include "link/scan_recording.h"
#include "link/tcpip_client.h"
#include "settings/client_settings.h"
#include "storage/file.h"

namespace orvalinth {

// The rhythm of the connection thread. The defaults are the service's; tests
// shorten them.
struct SXClientTiming {
  int32_t poll_ms = 1000;           // one poll of an idle link for a command
  int32_t idle_polls_per_ping = 10; // a "ping" after this many polls without data
  int32_t sleep_ms = 500;           // one sleep of every wait (reconnect, stop, retries)
  int32_t reconnect_sleeps = 10;    // the wait before a new connection attempt
};

// What the console's "upgd-cli" and "uninstall" start. Both belong to the
// host, above the link, which hands them to the client before its connection
// thread starts (ServiceMaintenanceActions, host/application.h). Without them
// an upgrade is refused ("upgrade is not available") and an uninstall is
// logged as an error and otherwise ignored.
struct SXMaintenanceActions {
  // Begins a self-upgrade with the new executable's bytes: non-zero when the
  // hand-over has begun (the console gets no reply), else 0 with *error.
  std::function<int(const uint8_t* bytes, int32_t length, std::string* error)> upgrade;
  // Asks the service to stop and then to uninstall itself.
  std::function<void()> uninstall;
};

// The file being downloaded: a CXFile that knows sizes beyond 32 bits.
class CXDownloadFile : public CXFile {
 public:
  // The whole size; false when it cannot be read.
  bool FullSize(uint64_t* size) const;
};

class CXClient : public CXTCPIPclient {
 public:
  static constexpr int32_t kBlockSize = 131072;
  static constexpr int kErrorLogBudget = 10;
  // A problem of the link's security (a refusal by the settings, a TLS link
  // that failed) is logged when it changes, and while it stays the same once
  // in this long.
  static constexpr int64_t kLinkProblemRepeatMs = 10 * 60 * 1000;
  static constexpr int kUpgradeCopyDeleteAttempts = 10;
  static constexpr const char* kRecordingNotAvailable = "recording is not available";

  explicit CXClient(CXClientSettings& settings = ProcessSettings(), SXClientTiming timing = SXClientTiming());
  // Ends the client's threads (as StopClient, without its log line).
  ~CXClient() override;

  // ---- threads ----

  // Starts the connection thread; 1 when it was created, else logs the error
  // "cannot start connection thread" and returns 0 (also when one is running).
  int StartConnectionThread();
  // Logs "stopping service...", raises the stop flag and waits, without a
  // time limit, until the connection and scan threads have ended.
  void StopClient();
  // For the crash recovery, on a thread that has faulted: raises the stop
  // flag (the connection thread makes no new link) and closes the link
  // gracefully. The link lock is only tried, for up to `wait_ms`, since the
  // faulting thread may hold it; false (the link left as it is) when it could
  // not be had.
  bool CloseLinkAfterCrash(int32_t wait_ms);
  // Sleeps seconds x 2 times the sleep step; 0 as soon as the stop flag is
  // found raised after a sleep, else 1.
  int WaitUnlessStopped(int seconds) override;
  // Waits in sleep steps until bytes can be read: false after a stop, or
  // after the receive time-out (30 s) without a byte, so that a console
  // that trickles a frame never holds up a stop of the service.
  bool AwaitBytes() override;

  // ---- the dialogue (link/client_info.cpp, link/dispatcher.cpp) ----

  // The greeting and "info" right after a connect; 1 when the link is ready,
  // else 0 with *error (the link status's text, or "invalid protocol"; empty
  // when the stop flag was raised while the console's greeting was awaited).
  int SendClientInfo(std::string* error);
  // Answers one received command in `message` (the reply is built in it);
  // 1 keeps the link, 0 makes the connection thread drop it.
  int DispatchCommand(CXMessage& message);

  // ---- scans (link/scan_thread.cpp) ----

  // Starts a scan thread with a recording from the recording factory. 0 with
  // *error "scan already in progress" while one exists, "cannot start scan
  // thread", or the factory's reason; the error is logged.
  int StartScanThread(std::string* error);
  // Ends a scan thread that exists (scanning 0, then waits for it), then
  // sends "stop-scan" through the outgoing message: ok 1 for an empty `text`,
  // else ok 0 and msg = text. The send result.
  int StopScan(const std::string& text);
  // On the scan thread: sends "scan-done" with ok, and id-snapshot `number`
  // (after completing the catalog step) or msg `text`; ends the scan. Without
  // a greeted link, or when the send fails, the report is kept for the next
  // greeting (a success that the next "info" lists in saved-uids is not sent
  // again).
  void ReportScanDone(int ok, int32_t number, const std::string& text);
  // Where scans get their recording (CreateScanRecording by default).
  void set_recording_factory(ScanRecordingFactory factory) { recording_factory_ = std::move(factory); }
  // The host's upgrade and uninstall; set before the connection thread starts.
  void set_maintenance_actions(SXMaintenanceActions actions) { maintenance_ = std::move(actions); }

  // ---- downloads (link/transfer.cpp) ----

  // Opens snapshot n for download, closing the file of a stream in progress
  // first: its size (IsUploading 1), or 0 with *error "cannot open <path>"
  // (IsUploading unchanged: a stream in progress then ends with an empty
  // block and its end marker); for an empty file 0 with *error empty and
  // IsUploading 1.
  uint32_t OpenDownload(int32_t n, std::string* error);
  // Sends the next block, and after the last one the end marker; 1 keeps the
  // link, 0 when the link is to be treated as lost.
  int SendNextBlock();
  // Closes the download file and clears IsUploading; n != 0 also removes
  // snapshot n from the catalog and deletes its file.
  void AbandonDownload(int32_t n);
  // "down-ack": removes snapshot n from the catalog and deletes its file. A
  // stream of it goes on to its end marker; where the system keeps a file
  // that is open from being deleted, it is deleted when the stream ends.
  void AcknowledgeDownload(int32_t n);

  // ---- state, for the service and for tests ----

  int32_t is_connected() const { return is_connected_.load(); }
  int32_t IsUploading() const { return is_uploading_.load(); }
  int32_t scanning() const { return scanning_.load(); }
  int32_t running_threads() const { return running_threads_.load(); }
  int32_t stop_requested() const { return stop_.load(); }
  int32_t current_snapshot() const { return current_snapshot_.load(); }
  const SXClientTiming& timing() const { return timing_; }
  // Set before the connection thread starts (test builds of the service).
  void set_timing(SXClientTiming timing) { timing_ = timing; }

  // Whether the operating system is 64-bit (native architecture 9 or 6).
  static bool IsOs64Bit();

 private:
  // Reads the link's security from the settings and readies the next
  // connection for it; false (and the reason logged) when no link may be made.
  bool PrepareLinkSecurity(const std::string& address);
  // Logs `text` as an error unless it is the one logged last, less than
  // kLinkProblemRepeatMs ago.
  void LogLinkProblem(const std::string& text);

  // Waits in steps of the sleep step until the console's greeting can be
  // read, so that a console that accepted the link and stays silent does not
  // hold up a stop for the receive time-out: 1 when it can be read, 0 once
  // the stop flag is raised, -1 after the receive time-out (the link status
  // then says so, as after a receive that timed out).
  int AwaitConsoleGreeting();

  // How a scan ended, as "scan-done" tells it.
  struct SXScanReport {
    int ok = 0;
    int32_t number = 0;
    std::string text;
  };

  // The connection thread's body and its steps (link/client.cpp).
  void CommandLoop();
  // Marks a link whose greeting has succeeded as up, and sends the reports
  // of scans that ended while no greeted link was there; false when one of
  // them cannot be sent (the link is then down, the rest kept).
  bool CompleteGreeting();
  bool PollForCommand(int32_t milliseconds, int* error);
  bool ReceiveCommand(CXMessage& message);
  bool SendPing();
  // Closes the link gracefully, then logs why its TLS broke, if it did.
  void CloseLink();
  // Logs (as a link problem) why the link just closed broke at the TLS
  // layer on the console's account; nothing when it did not.
  void LogTlsBreak();
  void WaitBeforeReconnect();

  // Closes the download file, deleting it when it was acknowledged while it
  // streamed.
  void CloseDownloadFile();

  // Sends `message` under the link lock (the socket is never shared mid-frame).
  bool SendLocked(CXMessage& message);
  // ErrorText under the link lock.
  std::string ErrorTextLocked(const std::string& message);

  // The dispatcher's commands that need more than a line (link/dispatcher.cpp).
  int StopScanCommand(CXMessage& message);
  int DownSnapCommand(CXMessage& message);
  void DownAckCommand(const CXMessage& message);
  int ScanCommand(CXMessage& message);
  int SetScanCommand(CXMessage& message);
  int GetScanCommand(CXMessage& message);
  int UpgradeCommand(CXMessage& message);

  // The scan thread (link/scan_thread.cpp).
  void ScanThreadBody(std::unique_ptr<CXScanRecording> recording, int32_t number);
  // Sends "scan-done" for `report` through the outgoing message, under the
  // link lock; on failure the link is marked down. The send result.
  bool SendScanDoneLocked(const SXScanReport& report);
  // Stops a scan thread that exists and waits until it has ended.
  void EndScanThread();
  // The snapshot a "stop-scan" discards: the one being recorded while a scan
  // runs, else the current snapshot.
  int32_t SnapshotToDiscard();
  // Whether snapshot n is the one a running scan records.
  bool IsBeingRecorded(int32_t n);

  CXClientSettings& settings_;
  SXClientTiming timing_;

  std::thread connection_thread_;
  std::atomic<int32_t> running_threads_{0};
  std::atomic<int32_t> stop_{0};
  std::atomic<int32_t> scanning_{0};
  std::atomic<int32_t> is_uploading_{0};
  std::atomic<int32_t> current_snapshot_{0};
  std::atomic<int32_t> is_connected_{0};

  // The link lock (see the top of this file) and what it guards.
  std::mutex link_lock_;
  CXMessage outgoing_;
  // Senders other than the connection thread waiting for the link lock; the
  // download stream steps aside for them.
  std::atomic<int32_t> waiting_senders_{0};
  // Reports of ended scans that no greeted link has carried yet, oldest first.
  std::vector<SXScanReport> unsent_reports_;

  // Connection thread only: the file being downloaded and its number, the
  // number of an acknowledged snapshot whose file is deleted once the
  // download file closes, and the saved-uids of the last "info" sent.
  CXDownloadFile download_;
  int32_t download_number_ = 0;
  int32_t delete_when_closed_ = 0;
  std::string info_saved_uids_;
  // The link problem logged last and when (connection thread only).
  std::string last_link_problem_;
  int64_t last_link_problem_ms_ = 0;

  // The scan thread and its state, under the scan lock. The thread object
  // stays until it is joined; `scan_active_` tells whether the scan still runs.
  std::mutex scan_lock_;
  std::thread scan_thread_;
  bool scan_active_ = false;
  int32_t scan_number_ = 0;
  // The scan has reached its report: its file is whole (or gone), and a
  // console that has its "scan-done" may acknowledge it at once.
  bool scan_reported_ = false;
  ScanRecordingFactory recording_factory_;
  SXMaintenanceActions maintenance_;
};

// The process-wide client.
CXClient& ProcessClient();

}  // namespace orvalinth
