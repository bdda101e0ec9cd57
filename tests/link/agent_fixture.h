#pragma once
// What the tests of the agent's link share: a private program folder with its
// data folder and settings file pointing at a console stand-in (TestPeer) on
// loopback, a machine named "PC-01", the agent (CXClient) in process with
// shortened timing, console-side helpers, and a recording that a test drives.
//
//   RunConsole([&](TestPeer& p) { CXMessage info; Greet(p, &info); ... });
//
// runs the script as the console of one connection while the agent runs,
// then stops the agent and waits for the script.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "fakes/wait_until.h"
#include "link/client.h"
#include "link/test_peer.h"
#include "settings/settings_fixture.h"

namespace orvalinth::test {

// Timing for tests: quick polls and waits, and no ping unless a test wants one.
SXClientTiming FastTiming();

// Console side: receives the agent's "hello", answers it and receives "info".
bool Greet(TestPeer& p, CXMessage* info = nullptr);
// Sends the command `name` with no keys.
bool SendCommand(TestPeer& p, const std::string& name);

// A recording whose jobs run until the test ends them.
struct FakeRecordingState {
  std::atomic<int> start_result{1};
  std::atomic<int> finish_result{1};
  std::atomic<int> running{1};    // IsRecording
  std::atomic<int32_t> started{0};  // the number StartRecording was given
  std::atomic<int> aborted{0};
  std::atomic<int> finished{0};
  std::string error = "Cannot create file";
  std::function<void()> on_abort;  // run by AbortRecording first
};

class FakeRecording final : public CXScanRecording {
 public:
  FakeRecording(std::shared_ptr<FakeRecordingState> state, CXClientSettings& settings)
      : state_(std::move(state)), settings_(settings) {}
  // Writes "recorded <n>" as snapshot n, as a recorder creates its file.
  int StartRecording(int32_t number) override;
  int IsRecording() override { return state_->running.load(); }
  // AddSnapshot, as the recorder's finish does.
  int FinishRecording(int32_t number) override;
  // Deletes the file.
  void AbortRecording() override;
  std::string ErrorText() override { return state_->error; }

 private:
  std::shared_ptr<FakeRecordingState> state_;
  CXClientSettings& settings_;
  int32_t number_ = 0;
};

class AgentTest : public SettingsTest {
 protected:
  AgentTest();
  ~AgentTest() override;

  // Writes the settings file with the console at 127.0.0.1:<peer port> and
  // `more` lines, and loads it.
  void WriteSettings(const std::string& more = std::string());
  // Makes the agent (replacing an earlier one) and starts its connection thread.
  void StartAgent(SXClientTiming timing = FastTiming());
  void StopAgent();
  // Starts the agent and runs `script` as the console of its next
  // connection, then stops the agent: the script ends, the console waits for
  // the agent's close and closes too.
  void RunConsole(const std::function<void(TestPeer&)>& script, SXClientTiming timing = FastTiming());
  // The same with the agent that runs already.
  void FinishWith(const std::function<void(TestPeer&)>& script);
  // Scans record through FakeRecording with this state.
  std::shared_ptr<FakeRecordingState> UseFakeRecording();
  // Scans of the next agent get no recording: "scan" fails with `error`.
  void RefuseRecordings(std::string error) { refusal_ = std::move(error); }

  // The log from here on (see MarkLog).
  void MarkLog();
  std::string LogSinceMark() const;
  static int Count(const std::string& text, const std::string& part);

  TestPeer peer_;
  std::unique_ptr<CXClient> client_;
  std::shared_ptr<FakeRecordingState> recording_;
  std::string refusal_;

 private:
  size_t log_mark_ = 0;
};

}  // namespace orvalinth::test
