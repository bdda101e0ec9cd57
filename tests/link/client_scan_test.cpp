// Scans through the link with a recording the test drives: "scan" and
// "scan-done", one scan at a time, "stop-scan", failures, and "scan-done"
// going out while a download streams.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "base/fatal_flag.h"
#include "base/strings.h"
#include "link/agent_fixture.h"
#include "platform/sockets.h"

namespace orvalinth {
namespace {

using test::AgentTest;
using test::FakeRecordingState;
using test::Greet;
using test::ReadFileBytes;
using test::SendCommand;
using test::TestPeer;
using test::ToHex;

class ScanThread : public AgentTest {
 protected:
  ScanThread() : state_(UseFakeRecording()) {}

  static bool StartScan(TestPeer& p, CXMessage* reply) {
    reply->Init("scan").AddInt("default", 1);
    return p.SendMessage(*reply) && p.RecvMessage(reply) && reply->IsNamed("scan");
  }
  static bool StopScan(TestPeer& p, const std::string& text, CXMessage* reply) {
    reply->Init("stop-scan");
    if (!text.empty()) reply->AddString("msg", text);
    return p.SendMessage(*reply) && p.RecvMessage(reply);
  }

  // Starts the agent; a console starts a scan and goes away.
  void StartScanAndLeave() {
    std::atomic<bool> left{false};
    peer_.Serve([&](TestPeer& p) {
      CXMessage reply;
      if (Greet(p)) StartScan(p, &reply);
      p.CloseConnection();
      left.store(true);
    });
    StartAgent();
    ASSERT_TRUE(test::WaitFor(left));
    peer_.Join();
  }

  std::shared_ptr<FakeRecordingState> state_;
};

TEST_F(ScanThread, ScanDoneReportsTheNewSnapshotWhichTheNextInfoLists) {
  WriteSettings(Text({"SnapshotCnt:2", "SnapshotName:Before the update"}));
  CXMessage reply;
  std::string done;
  StartAgent();
  std::atomic<bool> first{false};
  peer_.Serve([&](TestPeer& p) {
    if (Greet(p) && StartScan(p, &reply)) {
      state_->running.store(0);
      p.RecvFrame(&done);
    }
    p.CloseConnection();
    first.store(true);
  });
  ASSERT_TRUE(test::WaitFor(first));
  peer_.Join();
  CXMessage info;
  FinishWith([&](TestPeer& p) { Greet(p, &info); });
  EXPECT_EQ(reply.keys(), std::vector<std::string>{"ok"});
  EXPECT_EQ(reply.GetInt("ok"), 1);
  EXPECT_EQ(ToHex(done), ToHex(std::string("scan-done\xFEok\xFE" "1\xFEid-snapshot\xFE" "3")));
  EXPECT_EQ(state_->started.load(), 3);
  EXPECT_EQ(state_->finished.load(), 3);
  EXPECT_EQ(info.GetString("saved-uids"), "3");
  EXPECT_EQ(info.GetInt("scanning"), 0);
  EXPECT_EQ(settings_.snapshot_count(), 3);
  const std::string file = ReadFileBytes(Ini());
  EXPECT_NE(file.find("SnapshotCnt:3"), std::string::npos) << file;
  EXPECT_NE(file.find("SnapshotName:" + std::string(platform::kNewline)), std::string::npos) << file;
  EXPECT_EQ(ReadFileBytes(SnapshotPath(3)), "recorded 3");
}

TEST_F(ScanThread, OneScanAtATime) {
  CXMessage first, second;
  CXMessage info;
  std::atomic<bool> refused{false};
  StartAgent();
  peer_.Serve([&](TestPeer& p) {
    if (Greet(p) && StartScan(p, &first)) StartScan(p, &second);
    p.CloseConnection();
    refused.store(true);
  });
  ASSERT_TRUE(test::WaitFor(refused));
  peer_.Join();
  // A console that connects meanwhile is told that a scan runs.
  FinishWith([&](TestPeer& p) { Greet(p, &info); });
  EXPECT_EQ(first.GetInt("ok"), 1);
  EXPECT_EQ(second.GetInt("ok"), 0);
  EXPECT_EQ(second.GetString("msg"), "scan already in progress");
  EXPECT_EQ(info.GetInt("scanning"), 1);
  EXPECT_EQ(state_->started.load(), 1);
  // The service's stop ended the scan: nothing was reported, the file is gone.
  EXPECT_EQ(state_->aborted.load(), 1);
  EXPECT_FALSE(SnapshotExists(1));
}

TEST_F(ScanThread, StopScanWithoutTextEndsTheScanAndReportsNothingElse) {
  CXMessage started, stopped, next;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p) || !StartScan(p, &started) || !StopScan(p, "", &stopped)) return;
    SendCommand(p, "get-disk");
    p.RecvMessage(&next);
  });
  EXPECT_EQ(stopped.Name(), "stop-scan");
  EXPECT_EQ(stopped.keys(), std::vector<std::string>{"ok"});
  EXPECT_EQ(stopped.GetInt("ok"), 1);
  EXPECT_TRUE(next.IsNamed("get-disk")) << "no scan-done after a stop; got " << next.Name();
  EXPECT_EQ(state_->aborted.load(), 1);
  EXPECT_EQ(state_->finished.load(), 0);
  EXPECT_FALSE(SnapshotExists(1));
  EXPECT_EQ(settings_.snapshot_count(), 0) << "the number goes to the next scan";
}

TEST_F(ScanThread, StopScanWithTextEchoesItAndDiscardsTheLastDownload) {
  MakeSnapshot(4);
  MakeSnapshot(5);
  WriteSettings(Text({"SnapshotCnt:5", "SavedSnapshots:4,5"}));
  CXMessage stopped;
  RunConsole([&](TestPeer& p) {
    CXMessage reply;
    if (!Greet(p)) return;
    reply.Init("down-snap").AddInt("id-snapshot", 4);
    if (!p.SendMessage(reply)) return;
    // The reply, the one block and the end marker.
    while (p.RecvMessage(&reply) && reply.GetInt("done") != 1) {
    }
    StopScan(p, "cancelled by the user", &stopped);
  });
  EXPECT_EQ(stopped.keys(), (std::vector<std::string>{"ok", "msg"}));
  EXPECT_EQ(stopped.GetInt("ok"), 0);
  EXPECT_EQ(stopped.GetString("msg"), "cancelled by the user");
  EXPECT_FALSE(SnapshotExists(4));
  EXPECT_TRUE(SnapshotExists(5));
  EXPECT_EQ(settings_.saved_snapshots(), "5");
}

TEST_F(ScanThread, StopScanWithNothingRecordedOrDownloadedDiscardsNothing) {
  MakeSnapshot(1);
  WriteSettings(Text({"SnapshotCnt:1", "SavedSnapshots:1"}));
  CXMessage stopped;
  RunConsole([&](TestPeer& p) {
    if (Greet(p)) StopScan(p, "", &stopped);
  });
  EXPECT_EQ(stopped.GetInt("ok"), 1);
  EXPECT_TRUE(SnapshotExists(1));
  EXPECT_EQ(settings_.saved_snapshots(), "1");
}

TEST_F(ScanThread, ARecordingThatCannotStartReportsWhy) {
  state_->start_result.store(0);
  MarkLog();
  CXMessage started, done;
  RunConsole([&](TestPeer& p) {
    if (Greet(p) && StartScan(p, &started)) p.RecvMessage(&done);
  });
  EXPECT_EQ(started.GetInt("ok"), 1);
  EXPECT_TRUE(done.IsNamed("scan-done"));
  EXPECT_EQ(done.keys(), (std::vector<std::string>{"ok", "msg"}));
  EXPECT_EQ(done.GetInt("ok"), 0);
  EXPECT_EQ(done.GetString("msg"), "Cannot create file");
  EXPECT_EQ(Count(LogSinceMark(), "Error: Cannot create file"), 1);
  EXPECT_EQ(settings_.snapshot_count(), 0);
}

TEST_F(ScanThread, AFatalFaultEndsTheRecordingWithFatalException) {
  CXMessage started, done;
  RunConsole([&](TestPeer& p) {
    if (!Greet(p) || !StartScan(p, &started)) return;
    SetFatalFlag(1);
    p.RecvMessage(&done);
  });
  SetFatalFlag(0);
  EXPECT_EQ(done.GetInt("ok"), 0);
  EXPECT_EQ(done.GetString("msg"), "fatal exception");
  EXPECT_EQ(state_->aborted.load(), 1);
  EXPECT_FALSE(SnapshotExists(1));
}

// "scan-done" is never lost: a scan that fails while the next console has
// not yet answered "hello" is reported as soon as the greeting is complete.
TEST_F(ScanThread, AFailureBeforeTheGreetingIsReportedRightAfterIt) {
  state_->finish_result.store(0);
  state_->error = "Cannot write(131072) file";
  StartScanAndLeave();
  CXMessage info, done, next;
  FinishWith([&](TestPeer& p) {
    CXMessage hello;
    if (!p.RecvMessage(&hello)) return;
    // The recording fails while the agent waits for the console's greeting.
    state_->running.store(0);
    if (!test::WaitUntil([&] { return client_->scanning() == 0; })) return;
    hello.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 1);
    if (!p.SendMessage(hello) || !p.RecvMessage(&info)) return;
    SendCommand(p, "get-disk");
    if (p.RecvMessage(&done)) p.RecvMessage(&next);
  });
  EXPECT_TRUE(info.IsNamed("info"));
  EXPECT_EQ(done.Name(), "scan-done");
  EXPECT_EQ(done.keys(), (std::vector<std::string>{"ok", "msg"}));
  EXPECT_EQ(done.GetInt("ok"), 0);
  EXPECT_EQ(done.GetString("msg"), "Cannot write(131072) file");
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
}

// Holds the first "info" frame, once armed, until `hold` has run.
class HoldInfo final : public platform::SocketsWrapper {
 public:
  HoldInfo() : SocketsWrapper(platform::Sockets::Real()) {}
  int32_t Send(platform::SocketHandle s, const void* bytes, int32_t n) override {
    if (n >= 9 && std::memcmp(static_cast<const char*>(bytes) + 4, "info\xFE", 5) == 0 && armed.exchange(false)) hold();
    return target().Send(s, bytes, n);
  }
  std::atomic<bool> armed{false};
  std::function<void()> hold;
};

// A snapshot completed after "info" read saved-uids, but before the link
// counted as up, was in neither: "scan-done" follows the greeting.
TEST_F(ScanThread, ASnapshotFinishedWhileInfoGoesOutIsAnnouncedAfterTheGreeting) {
  HoldInfo sockets;
  platform::ScopedFacility<platform::Sockets> use(sockets);
  sockets.hold = [this] {
    state_->running.store(0);
    test::WaitUntil([&] { return client_->scanning() == 0; });
  };
  StartScanAndLeave();
  sockets.armed.store(true);
  CXMessage info, done, next;
  FinishWith([&](TestPeer& p) {
    if (!Greet(p, &info)) return;
    SendCommand(p, "get-disk");
    if (p.RecvMessage(&done)) p.RecvMessage(&next);
  });
  EXPECT_EQ(info.GetString("saved-uids"), "");
  EXPECT_EQ(done.Name(), "scan-done");
  EXPECT_EQ(done.GetInt("ok"), 1);
  EXPECT_EQ(done.GetInt("id-snapshot"), 1);
  EXPECT_TRUE(next.IsNamed("get-disk")) << "got " << next.Name();
  EXPECT_EQ(settings_.saved_snapshots(), "1");
}

// "stop-scan" while a scan runs and another snapshot streams: the download
// is abandoned before the scan is stopped; the snapshot discarded is the one
// being recorded, and the finished one that was downloading stays.
TEST_F(ScanThread, StopScanDuringADownloadAbandonsItFirstAndKeepsTheFinishedSnapshot) {
  test::WriteFileBytes(SnapshotPath(4), std::string(40 * 131072, 's'));
  WriteSettings(Text({"SnapshotCnt:5", "SavedSnapshots:4"}));
  std::atomic<int> uploading_at_abort{-1};
  state_->on_abort = [&] { uploading_at_abort.store(client_->IsUploading()); };
  CXMessage stopped;
  RunConsole([&](TestPeer& p) {
    CXMessage m;
    if (!Greet(p) || !StartScan(p, &m)) return;
    m.Init("down-snap").AddInt("id-snapshot", 4);
    if (!p.SendMessage(m) || !p.RecvMessage(&m)) return;
    stopped.Init("stop-scan");
    p.SendMessage(stopped);
    // Blocks that were on their way, then the reply.
    while (p.RecvMessage(&stopped) && stopped.IsNamed("down-block") && stopped.GetInt("done") == 0) {
    }
  });
  EXPECT_EQ(stopped.Name(), "stop-scan");
  EXPECT_EQ(stopped.GetInt("ok"), 1);
  EXPECT_EQ(state_->started.load(), 6);
  EXPECT_EQ(state_->aborted.load(), 1);
  EXPECT_EQ(uploading_at_abort.load(), 0) << "the download is abandoned before the scan is stopped";
  EXPECT_FALSE(SnapshotExists(6));
  EXPECT_TRUE(SnapshotExists(4));
  EXPECT_EQ(settings_.saved_snapshots(), "4");
}

// "scan-done" and the blocks of a download share the socket: every frame the
// console receives must decode, and the blocks must join to the file.
TEST_F(ScanThread, ScanDoneNeverInterleavesWithDownloadBlocks) {
  std::string content(160 * 131072, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + i / 509);
  for (int round = 1; round <= 3; ++round) {
    test::WriteFileBytes(SnapshotPath(100), content);
    state_->running.store(1);
    std::string received;
    int done_frames = 0, bad_frames = 0, marker = 0;
    int32_t done_id = 0;
    RunConsole([&](TestPeer& p) {
      CXMessage m;
      if (!Greet(p) || !StartScan(p, &m)) return;
      m.Init("down-snap").AddInt("id-snapshot", 100);
      if (!p.SendMessage(m)) return;
      for (int frames = 0; marker == 0 || done_frames == 0; ++frames) {
        std::string body;
        if (frames > 400 || !p.RecvFrame(&body)) return;
        std::memcpy(m.ReserveBody(static_cast<int32_t>(body.size())), body.data(), body.size());
        if (!m.Decode()) {
          ++bad_frames;
        } else if (m.IsNamed("scan-done")) {
          ++done_frames;
          done_id = m.GetInt("id-snapshot");
        } else if (m.IsNamed("down-block") && m.GetInt("done") == 1) {
          ++marker;
        } else if (m.IsNamed("down-block")) {
          received.append(reinterpret_cast<const char*>(m.Payload()), static_cast<size_t>(m.PayloadSize()));
          // The recording ends while the blocks stream.
          if (received.size() == 131072) state_->running.store(0);
        } else if (!m.IsNamed("down-snap")) {
          ++bad_frames;
        }
      }
    });
    EXPECT_EQ(bad_frames, 0) << "round " << round;
    EXPECT_EQ(done_frames, 1) << "round " << round;
    EXPECT_EQ(done_id, round) << "the recorded number, not the downloaded one";
    EXPECT_EQ(marker, 1);
    EXPECT_TRUE(received == content) << "round " << round << ": " << received.size() << " bytes";
  }
}

}  // namespace
}  // namespace orvalinth
