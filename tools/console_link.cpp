#include "tools/console_link.h"

#include "base/app_version.h"
#include "base/pins.h"
#include "base/strings.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "tools/console_text.h"
#include "tools/reply_rules.h"

namespace orvalinth::tools {
namespace {

// Waits are cut into slices so that a wait without limit still polls.
constexpr int32_t kWaitSliceMs = 1000;

std::string Seconds(int64_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return Format("%.3g s", static_cast<double>(ms) / 1000.0);
}

// Milliseconds left until the deadline (a slice for kForever), at least 0.
int32_t SliceUntil(int64_t deadline_ms) {
  if (deadline_ms == CXConsoleLink::kForever) return kWaitSliceMs;
  const int64_t left = deadline_ms - platform::MonotonicMs();
  if (left <= 0) return 0;
  return left < kWaitSliceMs ? static_cast<int32_t>(left) : kWaitSliceMs;
}

bool Passed(int64_t deadline_ms) {
  return deadline_ms != CXConsoleLink::kForever && platform::MonotonicMs() >= deadline_ms;
}

}  // namespace

CXConsoleLink::~CXConsoleLink() {
  Close();
  if (listener_ != platform::kNoSocket) platform::Sockets::Get().Close(listener_);
}

int64_t CXConsoleLink::DeadlineAfter(int64_t timeout_ms) {
  return timeout_ms < 0 ? kForever : platform::MonotonicMs() + timeout_ms;
}

bool CXConsoleLink::Listen(const std::string& address, uint16_t port) {
  ClearFailure();
  platform::Sockets& net = platform::Sockets::Get();
  if (!net.Startup()) return Fail(LinkFailure::kListen, "the socket library did not start");
  uint32_t ip = net.ParseAddress(address);
  // inet_addr cannot tell 255.255.255.255 from a name; a name is looked up.
  if (ip == platform::kAddressNone && address != "255.255.255.255" && !net.LookupHost(address, &ip)) {
    return Fail(LinkFailure::kListen, "cannot resolve the listening address \"" + DisplayText(address) + "\"");
  }
  if (listener_ != platform::kNoSocket) net.Close(listener_);
  listener_ = net.Listen(ip, port, /*backlog=*/8);
  if (listener_ == platform::kNoSocket) {
    return Fail(LinkFailure::kListen, Format("cannot listen on %s:%u (socket error %u)", DisplayText(address).c_str(),
                                             static_cast<unsigned>(port),
                                             static_cast<unsigned>(platform::LastSocketError())));
  }
  if (!net.LocalPort(listener_, &port_)) port_ = port;
  return true;
}

void CXConsoleLink::ClearFailure() {
  failure_ = LinkFailure::kNone;
  failure_text_.clear();
  frame_hex_.clear();
}

bool CXConsoleLink::Fail(LinkFailure kind, const std::string& text) {
  failure_ = kind;
  failure_text_ = text;
  frame_hex_.clear();
  return false;
}

bool CXConsoleLink::Violation(const std::string& what, const CXMessage& frame) {
  Close();
  failure_ = LinkFailure::kViolation;
  failure_text_ = what;
  frame_hex_ = HexDump(FrameBytes(frame));
  return false;
}

void CXConsoleLink::Close() { wire_.Disconnect(/*graceful=*/false); }

bool CXConsoleLink::Dropped(const char* when) {
  const bool closed = wire_.stat() == CXTCPIPclient::kStatConnectionClosed;
  Close();
  if (!wire_.tls_break().reason.empty()) {
    return Fail(LinkFailure::kDropped, "the TLS link broke" + TlsBreakText() + when);
  }
  return Fail(LinkFailure::kDropped,
              std::string(closed ? "the agent closed the link" : "the link broke (receive error or time-out)") + when);
}

std::string CXConsoleLink::TlsBreakText() const {
  const platform::TlsFailure& why = wire_.tls_break();
  return why.reason.empty() ? std::string() : " (" + why.reason + ": " + why.detail + ")";
}

NextResult CXConsoleLink::RecvFrame(int64_t deadline_ms, CXMessage* message) {
  if (!connected()) {
    Fail(LinkFailure::kNotConnected, "no agent is connected");
    return NextResult::kFailed;
  }
  platform::Sockets& net = platform::Sockets::Get();
  for (;;) {
    const int ready = net.WaitReadable(wire_.socket(), SliceUntil(deadline_ms));
    if (ready == 1) break;
    if (ready < 0) {
      Dropped("");
      return NextResult::kDropped;
    }
    if (Passed(deadline_ms)) return NextResult::kTimeout;
  }
  uint8_t prefix[4];
  if (!wire_.RecvExact(prefix, sizeof prefix)) {
    Dropped("");
    return NextResult::kDropped;
  }
  const int32_t length = CXMessage::ReadLength(prefix);
  // A TLS handshake record (22, then version 3.x) where a plain agent's
  // "hello" is due: no "hello" is that long, and waiting for its "body"
  // would hold the agent until its handshake times out.
  if (identity_ == nullptr && awaiting_hello_ && prefix[0] == 22 && prefix[1] == 3) {
    Close();
    last_refusal_ = "refused an agent that speaks TLS (its first bytes are a TLS handshake): start the console "
                    "with --tls-cert and --tls-key, or give the agent ServerTLS:0";
    ++refused_;
    tls_agent_refused_ = true;
    if (on_refused_) on_refused_(last_refusal_);
    Fail(LinkFailure::kViolation, last_refusal_);
    return NextResult::kFailed;
  }
  if (length < 0 || length > CXTCPIPclient::kMaxBody) {
    Close();
    failure_ = LinkFailure::kViolation;
    failure_text_ = Format("frame length %d outside 0..%d", static_cast<int>(length),
                           static_cast<int>(CXTCPIPclient::kMaxBody));
    frame_hex_ = HexDump(std::string(reinterpret_cast<const char*>(prefix), sizeof prefix));
    return NextResult::kFailed;
  }
  if (!wire_.RecvExact(message->ReserveBody(length), length)) {
    Dropped(Format(" in the middle of a frame of %d bytes", static_cast<int>(length)).c_str());
    return NextResult::kDropped;
  }
  if (!message->Decode()) {
    Violation("frame body does not decode", *message);
    return NextResult::kFailed;
  }
  return NextResult::kMessage;
}

bool CXConsoleLink::AcceptAgent(int64_t timeout_ms) {
  Close();
  ClearFailure();
  if (listener_ == platform::kNoSocket) return Fail(LinkFailure::kListen, "the console is not listening");
  platform::Sockets& net = platform::Sockets::Get();
  const int64_t deadline = DeadlineAfter(timeout_ms);
  const int refused_before = refused_;
  platform::SocketHandle s = platform::kNoSocket;
  for (;;) {
    const int ready = net.WaitReadable(listener_, SliceUntil(deadline));
    if (ready < 0) {
      return Fail(LinkFailure::kNoAgent, Format("waiting for an agent failed (socket error %u)",
                                                static_cast<unsigned>(platform::LastSocketError())));
    }
    if (ready == 0) {
      if (!Passed(deadline)) continue;
      return Fail(LinkFailure::kNoAgent, "no agent connected within " + Seconds(timeout_ms) + RefusedSince(refused_before));
    }
    s = net.Accept(listener_);
    if (s == platform::kNoSocket) {
      return Fail(LinkFailure::kNoAgent, Format("accepting the agent failed (socket error %u)",
                                                static_cast<unsigned>(platform::LastSocketError())));
    }
    net.SetNoDelay(s);
    const int64_t t = reply_timeout_ms_ < 0 ? 0 : reply_timeout_ms_;
    CXSocket::SetTimeouts(s, t > INT32_MAX ? INT32_MAX : static_cast<int32_t>(t));
    if (identity_ != nullptr && !StartTls(s)) continue;
    wire_.Adopt(s);
    info_ = SXAgentInfo();
    hello_frame_.clear();
    tls_agent_refused_ = false;
    if (Greet()) return true;
    // A TLS agent at a plain console is refused as a TLS console refuses a
    // plain agent: the wait goes on.
    if (!tls_agent_refused_) return false;
    ClearFailure();
  }
}

bool CXConsoleLink::StartTls(platform::SocketHandle s) {
  platform::Sockets& net = platform::Sockets::Get();
  const int32_t limit = reply_timeout_ms_ > 0 && reply_timeout_ms_ < kTlsHandshakeMs
                            ? static_cast<int32_t>(reply_timeout_ms_)
                            : kTlsHandshakeMs;
  platform::TlsFailure failure;
  if (net.StartTlsServer(s, *identity_, limit, &failure)) return true;
  net.Close(s);
  const std::string pin = PinText(identity_->pin());
  if (failure.reason == "plain") {
    last_refusal_ = "refused an agent that does not speak TLS (" + failure.detail +
                    "); an agent of this console needs ServerTLS:1 and ServerPin:" + pin;
  } else {
    last_refusal_ = "refused a link whose TLS handshake failed (" + failure.reason + ": " + failure.detail +
                    "); an agent of this console needs ServerPin:" + pin;
  }
  ++refused_;
  if (on_refused_) on_refused_(last_refusal_);
  return false;
}

std::string CXConsoleLink::RefusedSince(int before) const {
  if (refused_ == before) return std::string();
  return Format("; %d link(s) refused, the last: ", refused_ - before) + last_refusal_;
}

std::string CXConsoleLink::link_description() const {
  return connected() ? platform::Sockets::Get().TlsDescription(wire_.socket()) : std::string();
}

bool CXConsoleLink::Greet() {
  CXMessage hello;
  const int64_t deadline = DeadlineAfter(reply_timeout_ms_);
  awaiting_hello_ = true;
  NextResult got = RecvFrame(deadline, &hello);
  awaiting_hello_ = false;
  if (got == NextResult::kTimeout) {
    Close();
    return Fail(LinkFailure::kTimeout, "the agent sent no \"hello\" within " + Seconds(reply_timeout_ms_));
  }
  if (got != NextResult::kMessage) return false;
  hello_frame_ = FrameBytes(hello);
  std::string wrong = CheckHello(hello);
  if (!wrong.empty()) return Violation(wrong, hello);

  CXMessage answer;
  answer.Init("hello").AddString("ver", CXTCPIPclient::kProtocolMagic).AddInt("app", APP_VERSION);
  if (!Send(answer)) return false;

  CXMessage info;
  got = RecvFrame(deadline, &info);
  if (got == NextResult::kTimeout) {
    Close();
    return Fail(LinkFailure::kTimeout, "the agent sent no \"info\" within " + Seconds(reply_timeout_ms_));
  }
  if (got != NextResult::kMessage) return false;
  wrong = CheckInfo(info);
  if (!wrong.empty()) return Violation(wrong, info);
  ParseInfo(info);
  return true;
}

void CXConsoleLink::ParseInfo(const CXMessage& m) { info_ = ParseAgentInfo(m); }

bool CXConsoleLink::Send(CXMessage& message) {
  ClearFailure();
  if (!connected()) return Fail(LinkFailure::kNotConnected, "no agent is connected");
  if (!wire_.SendMessage(message)) {
    Close();
    return Fail(LinkFailure::kDropped, "cannot send: the link is down" + TlsBreakText());
  }
  return true;
}

bool CXConsoleLink::Request(std::string_view command, CXMessage& request, CXMessage* reply) {
  if (!Send(request)) return false;
  switch (NextMessage(DeadlineAfter(reply_timeout_ms_), reply)) {
    case NextResult::kMessage: break;
    case NextResult::kTimeout:
      // A reply that comes later would be taken for the next command's.
      Close();
      return Fail(LinkFailure::kTimeout, "no reply to \"" + std::string(command) + "\" within " +
                                             Seconds(reply_timeout_ms_) + "; the link is closed");
    default: return false;
  }
  const std::string wrong = CheckReply(command, *reply);
  return wrong.empty() || Violation(wrong, *reply);
}

bool CXConsoleLink::SetAside(CXMessage& m, bool* handled) {
  *handled = false;
  if (m.IsNamed("ping")) {
    const std::string wrong = CheckPing(m);
    if (!wrong.empty()) return Violation(wrong, m);
    ++pings_;
    *handled = true;
  } else if (m.IsNamed("scan-done")) {
    const std::string wrong = CheckScanDone(m);
    if (!wrong.empty()) return Violation(wrong, m);
    SXScanDone done;
    done.ok = m.GetInt("ok");
    done.id_snapshot = m.GetInt("id-snapshot");
    done.msg = m.GetString("msg");
    scan_done_.push_back(done);
    *handled = true;
  }
  return true;
}

NextResult CXConsoleLink::NextMessage(int64_t deadline_ms, CXMessage* message) {
  for (;;) {
    const NextResult got = RecvFrame(deadline_ms, message);
    if (got != NextResult::kMessage) return got;
    bool handled = false;
    if (!SetAside(*message, &handled)) return NextResult::kFailed;
    if (!handled) return NextResult::kMessage;
  }
}

bool CXConsoleLink::WaitScanDone(int64_t timeout_ms, SXScanDone* done) {
  ClearFailure();
  const int64_t deadline = DeadlineAfter(timeout_ms);
  while (scan_done_.empty()) {
    CXMessage m;
    const NextResult got = RecvFrame(deadline, &m);
    if (got == NextResult::kTimeout) return Fail(LinkFailure::kTimeout, "no \"scan-done\" within " + Seconds(timeout_ms));
    if (got != NextResult::kMessage) return false;
    bool handled = false;
    if (!SetAside(m, &handled)) return false;
    if (!handled) return Violation("unexpected \"" + DisplayText(m.Name()) + "\" while waiting for \"scan-done\"", m);
  }
  *done = scan_done_.front();
  scan_done_.pop_front();
  return true;
}

bool CXConsoleLink::WaitForDrop(int64_t timeout_ms) {
  ClearFailure();
  const int64_t deadline = DeadlineAfter(timeout_ms);
  while (connected()) {
    CXMessage m;
    const NextResult got = RecvFrame(deadline, &m);
    if (got == NextResult::kDropped) break;
    if (got == NextResult::kTimeout) {
      return Fail(LinkFailure::kTimeout, "the agent did not drop the link within " + Seconds(timeout_ms));
    }
    if (got != NextResult::kMessage) return false;
    bool handled = false;
    if (!SetAside(m, &handled)) return false;
    if (!handled) {
      return Violation("unexpected \"" + DisplayText(m.Name()) + "\" while waiting for the agent to drop the link", m);
    }
  }
  ClearFailure();
  return true;
}

bool CXConsoleLink::Reconnect(int64_t timeout_ms) {
  const int64_t deadline = DeadlineAfter(timeout_ms);
  const int refused_before = refused_;
  if (connected() && !WaitForDrop(timeout_ms)) return false;
  int64_t left = kForever;
  if (deadline != kForever) {
    left = deadline - platform::MonotonicMs();
    if (left < 0) left = 0;
  }
  if (AcceptAgent(left)) return true;
  if (failure_ == LinkFailure::kNoAgent) {
    failure_text_ = "no agent connected again within " + Seconds(timeout_ms) + RefusedSince(refused_before);
  }
  return false;
}

std::string FrameBytes(const CXMessage& m) {
  uint8_t prefix[4];
  CXMessage::WriteLength(prefix, m.buffer().size());
  std::string bytes(reinterpret_cast<const char*>(prefix), 4);
  bytes.append(reinterpret_cast<const char*>(m.buffer().data()), static_cast<size_t>(m.buffer().size()));
  return bytes;
}

SXAgentInfo ParseAgentInfo(const CXMessage& m) {
  SXAgentInfo info;
  info.name = m.GetString("name");
  info.app_ver = m.GetInt("app-ver");
  info.app_bit = m.GetInt("app-bit");
  info.os_bit = m.GetInt("os-bit");
  info.scanning = m.GetInt("scanning");
  info.id = m.GetInt("id");
  info.saved_uids = m.GetString("saved-uids");
  info.scan_targets = m.GetString("scan-targets");
  for (size_t i = 0; i < m.keys().size(); ++i) {
    if (m.keys()[i] == "upgraded") info.upgraded = true;
    if (m.keys()[i] == "upgrade-ok") info.upgrade_ok = CXMessage::ParseInt(m.values()[i]);
    if (m.keys()[i] == "crash") {
      info.has_crash = true;
      info.crash = m.values()[i];
    }
  }
  return info;
}

}  // namespace orvalinth::tools
