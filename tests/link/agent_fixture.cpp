#include "link/agent_fixture.h"

#include "base/strings.h"
#include "host/application.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace orvalinth::test {

SXClientTiming FastTiming() {
  SXClientTiming timing;
  timing.poll_ms = 20;
  timing.idle_polls_per_ping = 1000000;
  timing.sleep_ms = 5;
  timing.reconnect_sleeps = 10;
  return timing;
}

bool Greet(TestPeer& p, CXMessage* info) {
  CXMessage hello;
  if (!p.RecvMessage(&hello) || !hello.IsNamed("hello")) return false;
  CXMessage answer;
  answer.Init("hello").AddString("ver", "QELMv1.0").AddInt("app", 1);
  if (!p.SendMessage(answer)) return false;
  CXMessage received;
  CXMessage* target = info != nullptr ? info : &received;
  return p.RecvMessage(target) && target->IsNamed("info");
}

bool SendCommand(TestPeer& p, const std::string& name) {
  CXMessage m;
  m.Init(name);
  return p.SendMessage(m);
}

int FakeRecording::StartRecording(int32_t number) {
  number_ = number;
  state_->started.store(number);
  if (state_->start_result.load() == 0) return 0;
  WriteFileBytes(SnapshotPath(number), Format("recorded %d", static_cast<int>(number)));
  return 1;
}

int FakeRecording::FinishRecording(int32_t number) {
  state_->finished.store(number);
  if (state_->finish_result.load() == 0) return 0;
  settings_.AddSnapshot();
  return 1;
}

void FakeRecording::AbortRecording() {
  if (state_->on_abort) state_->on_abort();
  state_->aborted.fetch_add(1);
  platform::FileSystem::Get().RemoveFile(SnapshotPath(number_));
}

AgentTest::AgentTest() {
  EXPECT_TRUE(CXSocket::Startup());
  EXPECT_TRUE(peer_.listening());
  WriteSettings();
}

AgentTest::~AgentTest() { StopAgent(); }

void AgentTest::WriteSettings(const std::string& more) {
  LoadText(Text({"ServerAddr:127.0.0.1", Format("ServerPort:%d", static_cast<int>(peer_.port()))}) + more);
}

void AgentTest::StartAgent(SXClientTiming timing) {
  StopAgent();
  client_ = std::make_unique<CXClient>(settings_, timing);
  // The program's upgrade and uninstall, as the service hands them over.
  client_->set_maintenance_actions(ServiceMaintenanceActions(settings_));
  if (recording_ != nullptr) {
    std::shared_ptr<FakeRecordingState> state = recording_;
    CXClientSettings* settings = &settings_;
    client_->set_recording_factory([state, settings](std::string*) -> std::unique_ptr<CXScanRecording> {
      return std::make_unique<FakeRecording>(state, *settings);
    });
  } else if (!refusal_.empty()) {
    const std::string refusal = refusal_;
    client_->set_recording_factory([refusal](std::string* error) -> std::unique_ptr<CXScanRecording> {
      *error = refusal;
      return nullptr;
    });
  }
  ASSERT_EQ(client_->StartConnectionThread(), 1);
}

void AgentTest::StopAgent() {
  if (client_ == nullptr) return;
  client_->StopClient();
  client_.reset();
}

void AgentTest::RunConsole(const std::function<void(TestPeer&)>& script, SXClientTiming timing) {
  StartAgent(timing);
  FinishWith(script);
}

void AgentTest::FinishWith(const std::function<void(TestPeer&)>& script) {
  std::atomic<bool> done{false};
  peer_.Serve([&](TestPeer& p) {
    script(p);
    done.store(true);
    p.CloseAfterClient();
  });
  EXPECT_TRUE(WaitFor(done, 20000)) << "the console's script did not end";
  StopAgent();
  peer_.Join();
}

std::shared_ptr<FakeRecordingState> AgentTest::UseFakeRecording() {
  recording_ = std::make_shared<FakeRecordingState>();
  return recording_;
}

void AgentTest::MarkLog() { log_mark_ = LogText().size(); }

std::string AgentTest::LogSinceMark() const {
  const std::string text = LogText();
  // After a rotation the whole new log is new.
  return text.size() >= log_mark_ ? text.substr(log_mark_) : text;
}

int AgentTest::Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

}  // namespace orvalinth::test
