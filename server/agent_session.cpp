#include "server/agent_session.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <cstring>

#include "base/app_version.h"
#include "base/strings.h"
#include "link/tcpip_client.h"
#include "platform/clock.h"
#include "tools/console_text.h"
#include "tools/reply_rules.h"

namespace orvalinth::server {

namespace asio = boost::asio;

struct CXAgentSession::DownloadState {
  int32_t number = 0;
  CXSnapshotSink* sink = nullptr;
  DownloadDone done;
  bool streaming = false;  // the reply came; blocks follow
  bool short_block_seen = false;
  SXDownloadOutcome outcome;
};

namespace {

// Reads per wake-up before the loop serves the other links.
constexpr int kReadsPerTurn = 16;
// More pings than this within a second close the link.
constexpr uint32_t kMaxPingsPerSecond = 50;

std::array<char, 65536>& ReadBuffer() {
  thread_local std::array<char, 65536> buffer;
  return buffer;
}

CXMessage& FrameMessage() {
  thread_local CXMessage message;
  return message;
}

// "30 s", "0.5 s".
std::string SecondsText(int64_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return Format("%.1f s", static_cast<double>(ms) / 1000.0);
}

std::string EncodedBytes(CXMessage& message) {
  int32_t length = 0;
  const uint8_t* frame = message.Encode(&length);
  return std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length));
}

}  // namespace

CXAgentSession::CXAgentSession(asio::ip::tcp::socket socket, CXSessionOwner& owner, const SXSessionLimits& limits,
                               std::shared_ptr<const platform::TlsServerIdentity> identity)
    : socket_(std::move(socket)), owner_(owner), limits_(limits), identity_(std::move(identity)) {
  boost::system::error_code ignored;
  const asio::ip::tcp::endpoint peer = socket_.remote_endpoint(ignored);
  address_ = peer.address().to_string(ignored) + ":" + std::to_string(peer.port());
}

CXAgentSession::~CXAgentSession() = default;

void CXAgentSession::Start(int64_t now_ms) {
  deadline_ms_ = now_ms + limits_.greeting_ms;
  last_heard_ms_ = now_ms;
  boost::system::error_code error;
  socket_.non_blocking(true, error);
  socket_.set_option(asio::ip::tcp::no_delay(true), error);
  if (identity_ != nullptr) {
    tls_ = platform::TlsEngine::Get().NewMemoryServer(*identity_);
    if (tls_ == nullptr) {
      Close("refused: this system cannot make TLS links");
      return;
    }
    state_ = State::kTls;
  }
  WaitReadable();
}

std::string CXAgentSession::Who() const {
  std::string who = uid_ != 0 ? "id " + std::to_string(uid_) : info_.id != 0 ? "id " + std::to_string(info_.id) : "agent";
  who += " (";
  if (!info_.name.empty()) who += tools::DisplayText(info_.name) + ", ";
  return who + address_ + ")";
}

std::string CXAgentSession::link_description() const {
  return tls_ != nullptr ? tls_->Description() : std::string();
}

void CXAgentSession::WaitReadable() {
  if (reading_ || paused_ || state_ == State::kClosed) return;
  reading_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](const boost::system::error_code& error) {
                       self->reading_ = false;
                       self->OnReadable(error);
                     });
}

void CXAgentSession::OnReadable(const boost::system::error_code& error) {
  if (state_ == State::kClosed) return;
  if (error) {
    Close("the link broke: " + error.message());
    return;
  }
  std::array<char, 65536>& buffer = ReadBuffer();
  for (int turn = 0; turn < kReadsPerTurn && state_ != State::kClosed && !paused_; ++turn) {
    boost::system::error_code read_error;
    const size_t n = socket_.read_some(asio::buffer(buffer), read_error);
    if (read_error == asio::error::would_block || read_error == asio::error::try_again) break;
    if (read_error == asio::error::eof) {
      Close(PeerClosed());
      return;
    }
    if (read_error) {
      Close("the link broke: " + read_error.message());
      return;
    }
    if (tls_ == nullptr) {
      if (!Take(buffer.data(), n)) return;
      continue;
    }
    const bool fed = tls_->Feed(reinterpret_cast<const uint8_t*>(buffer.data()), n);
    std::string reply;
    tls_->TakeOutput(&reply);
    if (!reply.empty()) {
      out_.push_back(std::move(reply));
      WriteNext();
    }
    if (!fed) {
      const platform::TlsFailure& f = tls_->failure();
      if (state_ == State::kTls) {
        Close(f.reason == "plain" ? "refused: the agent does not speak TLS (" + f.detail + ")"
                                  : "refused: " + f.reason + " (" + f.detail + ")");
      } else {
        Close("the TLS stream broke: " + f.detail, /*violation=*/true);
      }
      return;
    }
    if (state_ == State::kTls && tls_->open()) state_ = State::kHello;
    std::string plain;
    if (!tls_->Read(&plain)) {
      Close("the TLS stream broke: " + tls_->failure().detail, /*violation=*/true);
      return;
    }
    if (!plain.empty() && !Take(plain.data(), plain.size())) return;
    if (tls_->peer_closed()) {
      Close(PeerClosed());
      return;
    }
  }
  WaitReadable();
}

bool CXAgentSession::BadLength(int32_t length, const char* header) {
  Violation(Format("frame length %d outside 0..%d", static_cast<int>(length), static_cast<int>(kMaxFrame)) + " (" +
                tools::HexDump(std::string_view(header, 4)) + ")",
            nullptr);
  return false;
}

bool CXAgentSession::TakeFrame(const char* body, int32_t length) {
  CXMessage& frame = FrameMessage();
  uint8_t* into = frame.ReserveBody(length);
  if (length > 0) std::memcpy(into, body, static_cast<size_t>(length));
  last_heard_ms_ = platform::MonotonicMs();
  if (!frame.Decode()) {
    Violation("frame body does not decode", &frame);
    return false;
  }
  return OnFrame(frame) && state_ != State::kClosed;
}

bool CXAgentSession::Take(const char* bytes, size_t n) {
  // A frame begun in an earlier read is gathered in partial_ first.
  if (!partial_.empty()) {
    if (partial_.size() < 4) {
      const size_t take = std::min(4 - partial_.size(), n);
      partial_.append(bytes, take);
      bytes += take;
      n -= take;
      if (partial_.size() < 4) return true;
    }
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(partial_.data()));
    if (length < 0 || length > kMaxFrame) return BadLength(length, partial_.data());
    const size_t whole = 4 + static_cast<size_t>(length);
    partial_.reserve(whole);
    const size_t take = std::min(whole - partial_.size(), n);
    partial_.append(bytes, take);
    bytes += take;
    n -= take;
    if (partial_.size() < whole) return true;
    if (!TakeFrame(partial_.data() + 4, length)) return false;
    partial_.clear();
  }
  // Whole frames straight from the read; only the rest of the last is kept.
  while (n >= 4) {
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(bytes));
    if (length < 0 || length > kMaxFrame) return BadLength(length, bytes);
    if (n - 4 < static_cast<size_t>(length)) break;
    if (!TakeFrame(bytes + 4, length)) return false;
    bytes += 4 + static_cast<size_t>(length);
    n -= 4 + static_cast<size_t>(length);
  }
  if (n > 0) {
    partial_.append(bytes, n);
  } else if (download_ == nullptr) {
    // An idle link holds no buffer; a download keeps its block's for the next.
    ReleaseBuffer();
  }
  return true;
}

void CXAgentSession::ReleaseBuffer() {
  if (partial_.empty() && partial_.capacity() > std::string().capacity()) std::string().swap(partial_);
}

size_t CXAgentSession::HeldBytes() const {
  const size_t inline_capacity = std::string().capacity();
  auto heap = [inline_capacity](const std::string& text) {
    return text.capacity() > inline_capacity ? text.capacity() + 1 : 0;
  };
  // A list's node: its element and two links.
  constexpr size_t kNode = 2 * sizeof(void*);
  size_t n = heap(partial_) + heap(address_) + heap(close_reason_);
  n += heap(info_.name) + heap(info_.saved_uids) + heap(info_.scan_targets) + heap(info_.crash);
  for (const std::string& bytes : out_) n += kNode + sizeof(bytes) + heap(bytes);
  for (const Outgoing& o : queued_) n += kNode + sizeof(o) + heap(o.bytes) + heap(o.pending.command);
  n += commands_.size() * (kNode + sizeof(Pending));
  if (download_ != nullptr) n += sizeof(DownloadState);
  return n;
}

void CXAgentSession::ForgetInfoTexts() {
  std::string().swap(info_.saved_uids);
  std::string().swap(info_.scan_targets);
  std::string().swap(info_.crash);
}

bool CXAgentSession::OnFrame(CXMessage& frame) {
  switch (state_) {
    case State::kTls:
    case State::kClosed: return false;
    case State::kHello: return OnHello(frame);
    case State::kInfo: return OnInfo(frame);
    case State::kReady: break;
  }
  if (frame.IsNamed("ping")) {
    const std::string wrong = tools::CheckPing(frame);
    if (!wrong.empty()) return Violation(wrong, &frame), false;
    ++pings_;
    // An agent pings after 10 s without a command; a link that pings
    // without pause only costs the server.
    const int64_t now = platform::MonotonicMs();
    if (now - ping_window_ms_ >= 1000) {
      ping_window_ms_ = now;
      pings_in_window_ = 0;
    }
    if (++pings_in_window_ > kMaxPingsPerSecond) {
      Violation("\"ping\" flood (more than " + std::to_string(kMaxPingsPerSecond) + " within a second)", nullptr);
      return false;
    }
    return true;
  }
  if (frame.IsNamed("scan-done")) {
    const std::string wrong = tools::CheckScanDone(frame);
    if (!wrong.empty()) return Violation(wrong, &frame), false;
    tools::SXScanDone done;
    done.ok = frame.GetInt("ok");
    done.id_snapshot = frame.GetInt("id-snapshot");
    done.msg = frame.GetString("msg");
    owner_.ScanDone(shared_from_this(), done);
    return state_ != State::kClosed;
  }
  if (download_ != nullptr && download_->streaming) return OnBlock(frame);
  if (commands_.empty()) {
    Violation("unexpected \"" + tools::DisplayText(frame.Name()) + "\" while no command waits for a reply", &frame);
    return false;
  }
  Pending pending = std::move(commands_.front());
  commands_.pop_front();
  std::string wrong = frame.Name() == pending.reply_name ? std::string()
                                                         : "\"" + tools::DisplayText(frame.Name()) + "\" where \"" +
                                                               pending.reply_name + "\" was due";
  if (wrong.empty()) wrong = tools::CheckReply(pending.command, frame);
  if (!wrong.empty()) {
    commands_.push_front(std::move(pending));  // Close fails it with the rest
    Violation(wrong, &frame);
    return false;
  }
  deadline_ms_ = platform::MonotonicMs() + limits_.reply_ms;
  pending.done(&frame, std::string());
  if (state_ == State::kClosed) return false;
  SendQueued();
  return true;
}

bool CXAgentSession::OnHello(CXMessage& hello) {
  const std::string wrong = tools::CheckHello(hello);
  if (!wrong.empty()) return Violation(wrong, &hello), false;
  CXMessage answer;
  answer.Init("hello").AddString("ver", CXTCPIPclient::kProtocolMagic).AddInt("app", APP_VERSION);
  QueueBytes(EncodedBytes(answer));
  state_ = State::kInfo;
  return true;
}

bool CXAgentSession::OnInfo(CXMessage& info) {
  const std::string wrong = tools::CheckInfo(info);
  if (!wrong.empty()) return Violation(wrong, &info), false;
  info_ = tools::ParseAgentInfo(info);
  state_ = State::kReady;
  greeted_ = true;
  owner_.Greeted(shared_from_this());
  return state_ != State::kClosed;
}

bool CXAgentSession::OnBlock(CXMessage& block) {
  DownloadState& d = *download_;
  std::string wrong;
  if (!block.IsNamed("down-block")) {
    wrong = "unexpected \"" + tools::DisplayText(block.Name()) + "\" during the download";
  } else {
    wrong = tools::CheckDownBlock(block);
  }
  const bool end_marker = wrong.empty() && !block.keys().empty();
  if (wrong.empty() && !end_marker && d.short_block_seen) wrong = "\"down-block\" after the last (short) block";
  if (!wrong.empty()) return Violation(wrong, &block), false;
  deadline_ms_ = platform::MonotonicMs() + limits_.reply_ms;
  if (!end_marker) {
    const int32_t n = block.PayloadSize();
    if (n < tools::kBlockSize) d.short_block_seen = true;
    // The agent reads the file it announced to its end and no further: a
    // stream past the size would never end.
    if (d.outcome.received + n > d.outcome.size) {
      Violation("more than the " + std::to_string(d.outcome.size) + " bytes announced (" +
                    std::to_string(d.outcome.received + n) + " sent)",
                nullptr);
      return false;
    }
    if (d.outcome.error.empty() && !d.sink->Write(block.Payload(), static_cast<size_t>(n), &d.outcome.error) &&
        d.outcome.error.empty()) {
      d.outcome.error = "the block could not be kept";
    }
    d.outcome.received += n;
    // The sink writes on a worker: no more is read until it has taken this.
    if (d.sink->Full()) paused_ = true;
    return true;
  }
  std::unique_ptr<DownloadState> finished = std::move(download_);
  if (finished->outcome.error.empty() && finished->outcome.received != finished->outcome.size) {
    finished->outcome.error = "received " + std::to_string(finished->outcome.received) + " of the " +
                              std::to_string(finished->outcome.size) + " bytes announced";
  }
  finished->outcome.complete = finished->outcome.error.empty();
  finished->done(finished->outcome);
  if (state_ == State::kClosed) return false;
  SendQueued();
  return true;
}

void CXAgentSession::Request(std::string_view command, CXMessage& request, ReplyDone done) {
  if (state_ == State::kClosed) {
    asio::post(socket_.get_executor(), [done = std::move(done), why = close_reason_] { done(nullptr, why); });
    return;
  }
  Outgoing out;
  out.bytes = EncodedBytes(request);
  // "upgd-cli" is answered only when the agent cannot upgrade: that reply is
  // awaited until it comes or the link ends (an agent that upgrades drops it).
  const std::string_view reply_name = command == "upgd-cli" ? std::string_view("upgd-cli") : tools::ReplyName(command);
  out.pending = Pending{std::string(command), std::string(reply_name), std::move(done)};
  out.expects_reply = !out.pending.reply_name.empty();
  queued_.push_back(std::move(out));
  SendQueued();
}

void CXAgentSession::Send(CXMessage& message) {
  if (state_ == State::kClosed) return;
  Outgoing out;
  out.bytes = EncodedBytes(message);
  queued_.push_back(std::move(out));
  SendQueued();
}

void CXAgentSession::Download(int32_t number, CXSnapshotSink* sink, DownloadDone done) {
  auto state = std::make_shared<std::unique_ptr<DownloadState>>(std::make_unique<DownloadState>());
  (*state)->number = number;
  (*state)->sink = sink;
  (*state)->done = std::move(done);
  CXMessage request;
  request.Init("down-snap").AddInt("id-snapshot", number);
  Request("down-snap", request, [this, state](const CXMessage* reply, const std::string& error) {
    std::unique_ptr<DownloadState> d = std::move(*state);
    if (reply == nullptr) {
      d->outcome.link_ok = false;
      d->outcome.error = error;
      d->done(d->outcome);
      return;
    }
    d->outcome.size = reply->GetInt("size");
    const std::string msg = reply->GetString("msg");
    if (d->outcome.size == 0 && !msg.empty()) {
      d->outcome.error = "the agent cannot send snapshot " + std::to_string(d->number) + ": " + tools::DisplayText(msg);
      d->done(d->outcome);
      return;
    }
    if (d->outcome.size < 0) {
      d->outcome.error = "the agent announced " + std::to_string(d->outcome.size) + " bytes";
      Violation(d->outcome.error, reply);
      d->outcome.link_ok = false;
      d->done(d->outcome);
      return;
    }
    d->streaming = true;
    download_ = std::move(d);
  });
}

void CXAgentSession::SendQueued() {
  while (!queued_.empty() && commands_.empty() && download_ == nullptr && state_ == State::kReady) {
    Outgoing out = std::move(queued_.front());
    queued_.pop_front();
    if (out.expects_reply) {
      commands_.push_back(std::move(out.pending));
      deadline_ms_ = platform::MonotonicMs() + limits_.reply_ms;
    }
    QueueBytes(std::move(out.bytes));
  }
}

void CXAgentSession::QueueBytes(std::string bytes) {
  if (tls_ != nullptr) {
    if (!tls_->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {
      Close("cannot encrypt: " + tls_->failure().detail);
      return;
    }
    bytes.clear();
    tls_->TakeOutput(&bytes);
  }
  out_.push_back(std::move(bytes));
  WriteNext();
}

void CXAgentSession::WriteNext() {
  if (writing_ || out_.empty() || state_ == State::kClosed) return;
  writing_ = true;
  asio::async_write(socket_, asio::buffer(out_.front()),
                    [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                      self->writing_ = false;
                      if (self->state_ == State::kClosed) return;
                      if (error) {
                        self->Close("cannot send: " + error.message());
                        return;
                      }
                      self->out_.pop_front();
                      self->WriteNext();
                    });
}

void CXAgentSession::ResumeReading() {
  if (!paused_ || state_ == State::kClosed) return;
  paused_ = false;
  // The wait was the server's: the agent's time for the next block starts now.
  if (download_ != nullptr) deadline_ms_ = platform::MonotonicMs() + limits_.reply_ms;
  WaitReadable();
}

void CXAgentSession::Tick(int64_t now_ms) {
  switch (state_) {
    case State::kClosed: return;
    case State::kTls:
    case State::kHello:
    case State::kInfo:
      if (now_ms >= deadline_ms_) {
        Close(state_ == State::kTls ? "refused: timeout (no TLS handshake within " +
                                          SecondsText(limits_.greeting_ms) + ")"
                                    : std::string("no \"") + (state_ == State::kInfo ? "info" : "hello") + "\" within " +
                                          SecondsText(limits_.greeting_ms));
      }
      return;
    case State::kReady: break;
  }
  if (paused_) return;  // waiting for the server's own disk, not for the agent
  if (!commands_.empty() || download_ != nullptr) {
    if (now_ms >= deadline_ms_) {
      Close(download_ != nullptr && download_->streaming
                ? "no \"down-block\" within " + SecondsText(limits_.reply_ms)
                : "no \"" + (commands_.empty() ? std::string("down-snap") : commands_.front().reply_name) +
                      "\" within " + SecondsText(limits_.reply_ms));
    }
  } else if (now_ms - last_heard_ms_ >= limits_.idle_ms) {
    Close("silent for " + SecondsText(limits_.idle_ms) + " (no \"ping\")");
  }
}

void CXAgentSession::Violation(const std::string& what, const CXMessage* frame) {
  std::string text = "protocol violation: " + what;
  if (frame != nullptr) text += " [" + tools::HexDump(tools::FrameBytes(*frame), 64) + "]";
  Close(text, /*violation=*/true);
}

std::string CXAgentSession::PeerClosed() const {
  return download_ != nullptr ? "the agent closed the link during a download" : "the agent closed the link";
}

void CXAgentSession::Close(const std::string& why, bool violation) {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  close_reason_ = why;
  boost::system::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  std::list<Pending> waiting = std::move(commands_);
  std::list<Outgoing> unsent = std::move(queued_);
  std::unique_ptr<DownloadState> download = std::move(download_);
  std::string().swap(partial_);
  out_.clear();
  for (Pending& p : waiting) p.done(nullptr, why);
  for (Outgoing& o : unsent) {
    if (o.expects_reply) o.pending.done(nullptr, why);
  }
  if (download != nullptr) {
    download->outcome.link_ok = false;
    download->outcome.error = why;
    download->done(download->outcome);
  }
  owner_.Closed(*this, why, violation);
}

}  // namespace orvalinth::server
