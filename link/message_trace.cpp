#include "link/message_trace.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"

namespace orvalinth {
namespace {

struct TraceState {
  std::mutex lock;  // one record at a time, from every thread
  std::u16string path;
  std::atomic<bool> on{false};
};

TraceState& State() {
  static TraceState state;
  return state;
}

std::string SocketPrefix(platform::SocketHandle socket, const char* direction) {
  return Format("(%d) %s ", static_cast<int>(socket), direction);
}

}  // namespace

void EnableMessageTrace(const std::u16string& path) {
  TraceState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.path = path;
  state.on.store(true, std::memory_order_release);
}

bool MessageTraceOn() { return State().on.load(std::memory_order_acquire); }

bool EnableMessageTraceIfRequested() {
  const std::u16string folder = ProgramFolder();
  if (folder.empty()) return MessageTraceOn();
  const std::u16string path = folder + kMessageTraceFileName;
  const uint32_t attributes = platform::FileSystem::Get().Attributes(path);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::kAttrDirectory) != 0) {
    return MessageTraceOn();
  }
  EnableMessageTrace(path);
  LogInfo("message trace on: %s", Narrow(path).c_str());
  return true;
}

void TraceRecord(const std::string& text) {
  if (!MessageTraceOn()) return;
  std::string clock;
  platform::LocalTime now;
  if (platform::GetLocalTime(&now)) clock = Format("%02d:%02d:%02d ", now.hour, now.minute, now.second);
  // "\n%s %s" by hand: a value may hold a zero byte, which %s would cut.
  const std::string record = platform::TextModeLineEnds("\n" + clock + " " + text);

  TraceState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(state.path, platform::kOpenWrite);
  int64_t end = 0;
  if (file == nullptr || !file->SeekToEnd(&end)) return;
  uint32_t written = 0;
  file->Write(record.data(), static_cast<uint32_t>(record.size()), &written);
}

void TraceSent(platform::SocketHandle socket, const CXMessage& message) {
  if (!MessageTraceOn()) return;
  std::string text = SocketPrefix(socket, "send");
  const std::string& sent = message.text();
  if (sent.size() > 4) {
    // The name and pairs read back from the text; the payload is not in it.
    CXMessage copy;
    const int32_t n = static_cast<int32_t>(sent.size() - 4);
    std::memcpy(copy.ReserveBody(n), sent.data() + 4, static_cast<size_t>(n));
    copy.Decode();
    std::string dump;
    copy.Dump(&dump);
    text += dump;
  }
  TraceRecord(text);
}

void TraceReceived(platform::SocketHandle socket, const CXMessage& message) {
  if (!MessageTraceOn()) return;
  std::string dump;
  message.Dump(&dump);
  TraceRecord(SocketPrefix(socket, "recv") + dump);
}

}  // namespace orvalinth
