#pragma once
// CXAgentSession: the server's side of the link to one agent, on the
// server's event loop (Boost.Asio; every call on the loop's thread).
//
// It makes the link a TLS link first when the server has an identity, then
// receives and checks the agent's "hello", answers it, receives and checks
// "info", and tells its owner. From then on the owner sends commands, one
// at a time, each with its reply checked by the console's rules
// (tools/reply_rules.h), and downloads snapshots into a sink. "ping" and
// "scan-done" may come at any moment; both are checked.
//
// A frame that breaks the rules (a length beyond what the server takes, a
// body that does not decode, a message of the wrong shape or out of turn, a
// download past the size the agent announced, pings without pause) closes
// this link only; the reason names the agent and what was wrong.
//
// Memory: an idle session holds its socket, a few counters and no buffer;
// bytes are read into the loop's shared buffer, frames are decoded from
// there, and only the part of a frame still in flight is kept (at most
// kMaxFrame bytes; during a download its buffer serves the next block). The
// queues are lists, which hold nothing when empty; the info's long texts
// (held snapshots, scan targets, crash report) go once the owner took them.

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <list>
#include <functional>
#include <memory>
#include <string>

#include "link/message.h"
#include "platform/tls.h"
#include "tools/console_link.h"

namespace orvalinth::server {

class CXAgentSession;

// Where a download's blocks go (the store's file being written).
class CXSnapshotSink {
 public:
  virtual ~CXSnapshotSink() = default;
  // False with *error when the bytes cannot be kept; the stream is still
  // read to its end so the link stays in step.
  virtual bool Write(const uint8_t* bytes, size_t n, std::string* error) = 0;
  // True while the sink has not yet taken what it was given (it writes on a
  // worker): the session reads nothing more from the link, and pauses its
  // deadlines, until ResumeReading.
  virtual bool Full() const { return false; }
};

// What a session tells the server. Called on the loop's thread.
class CXSessionOwner {
 public:
  virtual ~CXSessionOwner() = default;
  // "info" came and passed the rules.
  virtual void Greeted(const std::shared_ptr<CXAgentSession>& session) = 0;
  virtual void ScanDone(const std::shared_ptr<CXAgentSession>& session, const tools::SXScanDone& done) = 0;
  // The link ended (`why` for the log); called once, also before a greeting.
  virtual void Closed(CXAgentSession& session, const std::string& why, bool violation) = 0;
};

struct SXSessionLimits {
  int64_t greeting_ms = 30000;  // from the connection to a valid "info"
  int64_t reply_ms = 60000;     // for the reply to a command, or the next block
  int64_t idle_ms = 60000;      // without any frame while idle (the agent pings every 10 s)
};

struct SXDownloadOutcome {
  bool complete = false;  // the end marker came and the byte count matched
  bool link_ok = true;    // false: the link broke or was closed during the download
  int32_t size = 0;       // announced
  int64_t received = 0;
  std::string error;      // why not complete
};

class CXAgentSession : public std::enable_shared_from_this<CXAgentSession> {
 public:
  // The largest frame the server takes: a "down-block" of 131,072 bytes and
  // its keys with room to spare, an "info" with a crash report.
  static constexpr int32_t kMaxFrame = 1 << 20;

  using ReplyDone = std::function<void(const CXMessage* reply, const std::string& error)>;
  using DownloadDone = std::function<void(const SXDownloadOutcome& outcome)>;

  CXAgentSession(boost::asio::ip::tcp::socket socket, CXSessionOwner& owner, const SXSessionLimits& limits,
                 std::shared_ptr<const platform::TlsServerIdentity> identity);
  ~CXAgentSession();
  CXAgentSession(const CXAgentSession&) = delete;
  CXAgentSession& operator=(const CXAgentSession&) = delete;

  // Begins the TLS handshake or the greeting.
  void Start(int64_t now_ms);

  // Sends `request` (the command `command`) and hands its reply to `done` once it came and passed
  // the rules; with null and the reason when the link ended first (a reply
  // that breaks the rules closes the link). Commands wait their turn.
  // "upgd-cli" is done with its refusal, or with null when the link ends.
  void Request(std::string_view command, CXMessage& request, ReplyDone done);
  // Sends a command that has no reply ("set-uid", "down-ack").
  void Send(CXMessage& message);
  // Downloads snapshot `number` into `sink` (which must live until `done`).
  void Download(int32_t number, CXSnapshotSink* sink, DownloadDone done);
  // Reads from the link again after a sink was full.
  void ResumeReading();
  // Closes the link (the owner's Closed follows at once).
  void Close(const std::string& why, bool violation = false);

  // Deadlines: closes the link when the greeting, a reply or a block is
  // late, or when an idle agent fell silent. Called by the server's sweep.
  void Tick(int64_t now_ms);

  // "info" came (it stays so once the link closed).
  bool greeted() const { return greeted_; }
  bool closed() const { return state_ == State::kClosed; }
  bool busy() const { return !commands_.empty() || download_ != nullptr; }
  const tools::SXAgentInfo& info() const { return info_; }
  const std::string& address() const { return address_; }
  // The computer id the server knows the agent by (0 until it is decided).
  int32_t uid() const { return uid_; }
  void set_uid(int32_t uid) { uid_ = uid; }
  // "TLS 1.3, TLS_AES_256_GCM_SHA384"; empty when plain.
  std::string link_description() const;
  uint64_t pings() const { return pings_; }
  // "id 12 (PC-7, 10.0.0.5:49152)", for the log.
  std::string Who() const;
  // The bytes this session holds on the heap besides itself, its socket and
  // its TLS state: the frame in flight, what waits to be sent, the info's texts.
  size_t HeldBytes() const;
  // Drops the info's held snapshots, scan targets and crash report (the
  // owner has recorded them); its name and id stay.
  void ForgetInfoTexts();

 private:
  enum class State { kTls, kHello, kInfo, kReady, kClosed };
  struct Pending {
    std::string command;
    std::string reply_name;
    ReplyDone done;
  };
  struct Outgoing {
    std::string bytes;
    bool expects_reply = false;
    Pending pending;
  };
  struct DownloadState;

  void WaitReadable();
  void OnReadable(const boost::system::error_code& error);
  // Takes bytes from the wire (plain or decrypted).
  bool Take(const char* bytes, size_t n);
  bool TakeFrame(const char* body, int32_t length);
  bool BadLength(int32_t length, const char* header);
  void ReleaseBuffer();
  bool OnFrame(CXMessage& frame);
  bool OnHello(CXMessage& hello);
  bool OnInfo(CXMessage& info);
  bool OnBlock(CXMessage& block);
  void Violation(const std::string& what, const CXMessage* frame);
  // Sends what is queued while no reply or download is awaited.
  void SendQueued();
  void QueueBytes(std::string bytes);
  void WriteNext();
  // Why the agent's end of the stream came: during a download or not.
  std::string PeerClosed() const;

  boost::asio::ip::tcp::socket socket_;
  CXSessionOwner& owner_;
  SXSessionLimits limits_;
  std::shared_ptr<const platform::TlsServerIdentity> identity_;
  std::unique_ptr<platform::TlsMemoryServer> tls_;
  State state_ = State::kHello;
  std::string address_;
  tools::SXAgentInfo info_;
  int32_t uid_ = 0;
  std::string partial_;           // a frame in flight
  std::list<std::string> out_;    // bytes to write, the first being written
  bool writing_ = false;
  bool reading_ = false;
  bool paused_ = false;           // a full sink: nothing read until ResumeReading
  std::list<Outgoing> queued_;    // commands not sent yet: one at a time
  std::list<Pending> commands_;   // sent, waiting for their replies
  std::unique_ptr<DownloadState> download_;
  int64_t deadline_ms_ = 0;       // of the greeting, the reply or the block awaited
  int64_t last_heard_ms_ = 0;
  uint64_t pings_ = 0;
  bool greeted_ = false;
  int64_t ping_window_ms_ = 0;  // the second whose pings are counted
  uint32_t pings_in_window_ = 0;
  std::string close_reason_;
};

}  // namespace orvalinth::server
