#pragma once
// CXConsoleLink: the console's side of the link to one agent. It listens,
// accepts an agent, receives and checks its "hello", answers with "hello"
// ("ver" "QELMv1.0", "app"), receives and checks its "info", then sends
// commands and waits for their replies.
//
// Every frame from the agent is checked: a length within 0..10,485,760, a body
// that decodes, and the shape the command table gives (reply_rules.h). A bad
// frame is a protocol violation: the link is closed at once and failure()
// tells what was wrong, with the frame's bytes in hex. While it waits for a
// reply the link sets "ping" aside (counted) and keeps "scan-done" for
// WaitScanDone; both are checked too.
//
// With a TLS identity every accepted link is made a TLS link before the
// greeting (platform/tls.h); a link that does not become one (a plain agent,
// an agent that refuses the key, a handshake that fails or takes too long)
// is refused: closed, told to the refusal observer, and the wait for an
// agent goes on.
//
// Operations return true on success; on failure, failure() and failure_text()
// say why. Times are milliseconds; kForever waits without limit.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/message.h"
#include "link/tcpip_client.h"
#include "platform/tls.h"

namespace orvalinth::tools {

enum class LinkFailure {
  kNone,
  kListen,        // the listening socket could not be opened
  kNoAgent,       // no agent connected in time
  kNotConnected,  // no agent is connected
  kTimeout,       // the agent did not answer in time (the link is closed: a late reply would be misread)
  kDropped,       // the agent closed the link, or it broke
  kViolation,     // the agent broke the protocol (the link is closed)
};

// What the agent said about itself in "info".
struct SXAgentInfo {
  std::string name;
  int32_t app_ver = 0;
  int32_t app_bit = 0;
  int32_t os_bit = 0;
  int32_t scanning = 0;
  int32_t id = 0;
  std::string saved_uids;  // comma-separated snapshot numbers
  std::string scan_targets;
  bool upgraded = false;  // the upgrade keys were present
  int32_t upgrade_ok = 0;
  bool has_crash = false;
  std::string crash;
};

// The agent's "info" (checked with CheckInfo) as the console keeps it.
SXAgentInfo ParseAgentInfo(const CXMessage& info);
// The frame's bytes as they came (length prefix and body).
std::string FrameBytes(const CXMessage& frame);
// One "scan-done".
struct SXScanDone {
  int32_t ok = 0;
  int32_t id_snapshot = 0;  // ok 1
  std::string msg;          // ok 0
};

// What NextMessage found.
enum class NextResult { kMessage, kTimeout, kDropped, kFailed };

class CXConsoleLink {
 public:
  static constexpr int64_t kForever = -1;
  static constexpr int64_t kDefaultReplyTimeoutMs = 60000;
  // The TLS handshake's limit when replies have none.
  static constexpr int32_t kTlsHandshakeMs = 30000;

  CXConsoleLink() = default;
  ~CXConsoleLink();
  CXConsoleLink(const CXConsoleLink&) = delete;
  CXConsoleLink& operator=(const CXConsoleLink&) = delete;

  // Starts the socket library and listens on address:port (dotted IPv4 or a
  // host name; port 0 takes a free port). The listener stays open until the
  // object goes, so a reconnecting agent waits in its queue.
  bool Listen(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }

  // How long the agent may take for a greeting, a reply or the rest of a frame.
  void set_reply_timeout_ms(int64_t ms) { reply_timeout_ms_ = ms; }
  int64_t reply_timeout_ms() const { return reply_timeout_ms_; }

  // The identity every accepted link presents as a TLS server (null: plain
  // links). The handshake lasts at most the reply time-out.
  void set_tls_identity(std::shared_ptr<const platform::TlsServerIdentity> identity) {
    identity_ = std::move(identity);
  }
  bool tls() const { return identity_ != nullptr; }
  // Called with the text of every link refused ("... does not speak TLS ...").
  void set_refusal_observer(std::function<void(const std::string&)> observer) { on_refused_ = std::move(observer); }
  // The links refused so far, and why the last one was.
  int refused() const { return refused_; }
  const std::string& last_refusal() const { return last_refusal_; }
  // What the link is ("TLS 1.3, TLS_AES_256_GCM_SHA384"); empty when plain.
  std::string link_description() const;

  // Waits for an agent, accepts it and runs the greeting and "info". An agent
  // still connected is dropped first. Refused links (with TLS: a plain agent
  // or a failed handshake; without: an agent that starts a TLS handshake) do
  // not end the wait; when no agent came, the failure text counts them.
  bool AcceptAgent(int64_t timeout_ms);
  bool connected() const { return wire_.socket() != CXTCPIPclient::kNone; }
  const SXAgentInfo& info() const { return info_; }
  // The agent's "hello" frame of the last greeting, as it came (length
  // prefix and body); empty before the first.
  const std::string& hello_frame() const { return hello_frame_; }
  // Waits until the agent drops the link (its "ping" and "scan-done" are
  // handled meanwhile), then accepts the next agent; the whole within
  // timeout_ms.
  bool Reconnect(int64_t timeout_ms);
  // Waits until the agent closes the link; anything but "ping" and
  // "scan-done" meanwhile is a violation.
  bool WaitForDrop(int64_t timeout_ms);
  // Closes the link at once.
  void Close();

  // Sends a command that has no reply.
  bool Send(CXMessage& message);
  // Sends `command` (built in `request`) and waits for its reply, which must
  // have the name and keys the command table gives.
  bool Request(std::string_view command, CXMessage& request, CXMessage* reply);
  // The next message within the deadline (a MonotonicMs value, or kForever)
  // that is neither "ping" nor "scan-done". Frames that are bad, or a bad
  // "ping" or "scan-done", end with kFailed and a violation.
  NextResult NextMessage(int64_t deadline_ms, CXMessage* message);
  // The first "scan-done" kept, or the next to come within timeout_ms.
  bool WaitScanDone(int64_t timeout_ms, SXScanDone* done);

  // Records a violation found in `frame` by a caller (its bytes go into the
  // hex) and closes the link; returns false for convenience.
  bool Violation(const std::string& what, const CXMessage& frame);
  // Records another failure (the link stays as it is); returns false.
  bool Fail(LinkFailure kind, const std::string& text);

  LinkFailure failure() const { return failure_; }
  const std::string& failure_text() const { return failure_text_; }
  // The hex of the frame behind a violation (cut after 256 bytes).
  const std::string& frame_hex() const { return frame_hex_; }
  void ClearFailure();

  int pings() const { return pings_; }
  const std::deque<SXScanDone>& kept_scan_done() const { return scan_done_; }

  // A deadline timeout_ms from now (kForever stays kForever).
  static int64_t DeadlineAfter(int64_t timeout_ms);

 private:
  // The framing's sends and exact receives on an accepted socket.
  class Wire final : public CXTCPIPclient {
   public:
    void Adopt(Handle s) {
      socket_ = s;
      stat_ = kStatConnected;
      tls_break_ = platform::TlsFailure();
    }
    // A console does not wait for an agent that stopped reading: a send
    // time-out fails at once.
    int WaitUnlessStopped(int) override { return 0; }
  };

  // Receives one frame (any name) into `message`.
  NextResult RecvFrame(int64_t deadline_ms, CXMessage* message);
  bool Greet();
  // Makes an accepted socket a TLS link; false when it was refused (and closed).
  bool StartTls(platform::SocketHandle s);
  // "; N link(s) refused, the last: ..." when links were refused since `before`.
  std::string RefusedSince(int before) const;
  // Counts a "ping", keeps a "scan-done" (*handled true); false after a
  // violation in either.
  bool SetAside(CXMessage& message, bool* handled);
  // Closes the link that dropped: the agent's close, or a link that broke
  // (at the TLS layer: its reason).
  bool Dropped(const char* when);
  // " (TLS: reason: detail)" when the link closed last broke at the TLS layer.
  std::string TlsBreakText() const;
  void ParseInfo(const CXMessage& info);

  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  Wire wire_;
  int64_t reply_timeout_ms_ = kDefaultReplyTimeoutMs;
  SXAgentInfo info_;
  std::string hello_frame_;
  std::shared_ptr<const platform::TlsServerIdentity> identity_;
  std::function<void(const std::string&)> on_refused_;
  int refused_ = 0;
  std::string last_refusal_;
  bool awaiting_hello_ = false;     // the next frame is the agent's "hello"
  bool tls_agent_refused_ = false;  // the last link was a TLS agent at this plain console
  std::deque<SXScanDone> scan_done_;
  int pings_ = 0;
  LinkFailure failure_ = LinkFailure::kNone;
  std::string failure_text_;
  std::string frame_hex_;
};

}  // namespace orvalinth::tools
