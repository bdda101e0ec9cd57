#include "tools/fake_agent.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/process.h"
#include "test_support.h"

namespace orvalinth::test {

void FakeAgent::DefaultInfo(CXMessage* info) {
  info->Init("info")
      .AddString("name", "VM")
      .AddInt("app-ver", 6)
      .AddInt("app-bit", 64)
      .AddInt("os-bit", 64)
      .AddInt("scanning", 0)
      .AddInt("id", 7)
      .AddString("saved-uids", "1,3")
      .AddString("scan-targets", "full");
}

void FakeAgent::Run(std::function<void(FakeAgent&)> script) {
  Join();
  thread_ = std::thread([this, script = std::move(script)] { script(*this); });
}

void FakeAgent::Join() {
  if (thread_.joinable()) thread_.join();
}

bool FakeAgent::Connect(uint16_t port) {
  CXSocket::Startup();
  const int64_t give_up = platform::MonotonicMs() + kWaitSeconds * 1000;
  while (!(tls_ ? client_.ConnectServer("127.0.0.1", port) : client_.Connect("127.0.0.1", port, kWaitSeconds))) {
    if (platform::MonotonicMs() > give_up) return false;
    platform::SleepMs(20);
  }
  return true;
}

bool FakeAgent::ConnectVia(const std::u16string& port_file) {
  const int64_t give_up = platform::MonotonicMs() + kWaitSeconds * 1000;
  for (;;) {
    const std::string text = FileExists(port_file) ? ReadFileBytes(port_file) : std::string();
    if (!text.empty() && text.back() == '\n') return Connect(static_cast<uint16_t>(std::stoi(text)));
    if (platform::MonotonicMs() > give_up) return false;
    platform::SleepMs(20);
  }
}

bool FakeAgent::Greet(CXMessage* info) {
  if (!client_.SendHello(6)) return false;
  CXMessage hello;
  if (!client_.RecvMessage(hello)) return false;
  console_hello.assign(reinterpret_cast<const char*>(hello.buffer().data()), static_cast<size_t>(hello.buffer().size()));
  CXMessage fallback;
  if (info == nullptr) {
    DefaultInfo(&fallback);
    info = &fallback;
  }
  return client_.SendMessage(*info);
}

bool FakeAgent::RecvCommand(std::string* body, CXMessage* message) {
  CXMessage own;
  CXMessage& m = message != nullptr ? *message : own;
  if (!client_.RecvMessage(m)) return false;
  body->assign(reinterpret_cast<const char*>(m.buffer().data()), static_cast<size_t>(m.buffer().size()));
  return true;
}

bool FakeAgent::SendBody(const std::string& body) {
  uint8_t prefix[4];
  CXMessage::WriteLength(prefix, static_cast<int32_t>(body.size()));
  return SendBytes(std::string(reinterpret_cast<const char*>(prefix), 4) + body);
}

bool FakeAgent::WaitClosed() {
  CXMessage m;
  // The console sends nothing unasked: the receive fails when it closes, or
  // after the receive time-out when it does not.
  const int64_t start = platform::MonotonicMs();
  return !client_.RecvMessage(m) && platform::MonotonicMs() - start < (kWaitSeconds - 1) * 1000;
}

}  // namespace orvalinth::test
