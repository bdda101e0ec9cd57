// The framing and the greeting of CXTCPIPclient.

#include <cstring>

#include "base/strings.h"
#include "link/message_trace.h"
#include "link/tcpip_client.h"

namespace orvalinth {
namespace {

constexpr size_t kMagicLength = sizeof(CXTCPIPclient::kProtocolMagic) - 1;

}  // namespace

bool CXTCPIPclient::SendMessage(CXMessage& message) {
  if (socket_ == kNone) return false;
  const Handle traced = socket_;
  int32_t length = 0;
  const uint8_t* frame = message.Encode(&length);
  if (!SendAll(frame, length)) {
    socket_ = kNone;
    stat_ = kStatNotConnected;
    return false;
  }
  TraceSent(traced, message);
  return true;
}

bool CXTCPIPclient::RecvMessage(CXMessage& message) {
  if (socket_ == kNone) return false;
  int32_t length = 0;
  uint8_t prefix[4];
  bool ok = RecvExact(prefix, sizeof prefix);
  if (ok) {
    length = CXMessage::ReadLength(prefix);
    // A bad length is never followed: the body is not read, the link is dropped.
    ok = length >= 0 && length <= kMaxBody && RecvExact(message.ReserveBody(length), length) && message.Decode();
  }
  if (!ok) {
    TraceRecord(Format("recv err sz=%d", static_cast<int>(length)));
    CloseNow();
    return false;
  }
  TraceReceived(socket_, message);
  return true;
}

bool CXTCPIPclient::SendHello(int32_t app_version) {
  CXMessage hello;
  hello.Init("hello").AddString("ver", kProtocolMagic).AddInt("app", app_version);
  return SendMessage(hello);
}

bool CXTCPIPclient::RecvHello() {
  CXMessage hello;
  if (!RecvMessage(hello)) return false;
  if (!hello.IsNamed("hello")) return false;
  // Only the magic's 8 bytes count: a later minor text after them is accepted.
  const std::string& version = hello.GetString("ver");
  return version.size() >= kMagicLength && std::memcmp(version.data(), kProtocolMagic, kMagicLength) == 0;
}

}  // namespace orvalinth
