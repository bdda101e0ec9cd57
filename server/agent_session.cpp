#include "server/agent_session.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

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
// A frame's buffer larger than this is given back once the frame is whole.
constexpr size_t kKeptBuffer = 4096;

std::array<char, 65536>& ReadBuffer() {
  thread_local std::array<char, 65536> buffer;
  return buffer;
}

CXMessage& FrameMessage() {
  thread_local CXMessage message;
  return message;
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
  if (reading_ || state_ == State::kClosed) return;
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
    Fail("the link broke: " + error.message());
    return;
  }
  std::array<char, 65536>& buffer = ReadBuffer();
  for (int turn = 0; turn < kReadsPerTurn && state_ != State::kClosed; ++turn) {
    boost::system::error_code read_error;
    const size_t n = socket_.read_some(asio::buffer(buffer), read_error);
    if (read_error == asio::error::would_block || read_error == asio::error::try_again) break;
    if (read_error == asio::error::eof) {
      Fail(download_ != nullptr ? "the agent closed the link during a download" : "the agent closed the link");
      return;
    }
    if (read_error) {
      Fail("the link broke: " + read_error.message());
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
      Fail(download_ != nullptr ? "the agent closed the link during a download" : "the agent closed the link");
      return;
    }
  }
  WaitReadable();
}

bool CXAgentSession::Take(const char* bytes, size_t n) {
  partial_.append(bytes, n);
  size_t at = 0;
  while (state_ != State::kClosed && partial_.size() - at >= 4) {
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(partial_.data() + at));
    if (length < 0 || length > kMaxFrame) {
      CXMessage& none = FrameMessage();
      none.ReserveBody(0);
      Violation(Format("frame length %d outside 0..%d", static_cast<int>(length), static_cast<int>(kMaxFrame)) +
                    " (" + tools::HexDump(std::string_view(partial_.data() + at, 4)) + ")",
                nullptr);
      return false;
    }
    if (partial_.size() - at < 4 + static_cast<size_t>(length)) break;
    CXMessage& frame = FrameMessage();
    std::memcpy(frame.ReserveBody(length), partial_.data() + at + 4, static_cast<size_t>(length));
    at += 4 + static_cast<size_t>(length);
    last_heard_ms_ = platform::MonotonicMs();
    if (!frame.Decode()) {
      Violation("frame body does not decode", &frame);
      return false;
    }
    if (!OnFrame(frame)) return false;
  }
  if (state_ == State::kClosed) return false;
  partial_.erase(0, at);
  if (partial_.empty() && partial_.capacity() > kKeptBuffer) std::string().swap(partial_);
  return true;
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
    // Bytes beyond the announced size are counted, not kept.
    if (d.outcome.error.empty() && d.outcome.received + n <= d.outcome.size &&
        !d.sink->Write(block.Payload(), static_cast<size_t>(n), &d.outcome.error) && d.outcome.error.empty()) {
      d.outcome.error = "the block could not be kept";
    }
    d.outcome.received += n;
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
  out.pending = Pending{std::string(command), std::string(tools::ReplyName(command)), std::move(done)};
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
                        self->Fail("cannot send: " + error.message());
                        return;
                      }
                      self->out_.pop_front();
                      self->WriteNext();
                    });
}

void CXAgentSession::Tick(int64_t now_ms) {
  switch (state_) {
    case State::kClosed: return;
    case State::kTls:
    case State::kHello:
    case State::kInfo:
      if (now_ms >= deadline_ms_) {
        Close(state_ == State::kTls ? "refused: timeout (no TLS handshake within " +
                                          std::to_string(limits_.greeting_ms / 1000) + " s)"
                                    : std::string("no \"") + (state_ == State::kInfo ? "info" : "hello") + "\" within " +
                                          std::to_string(limits_.greeting_ms / 1000) + " s");
      }
      return;
    case State::kReady: break;
  }
  if (!commands_.empty() || download_ != nullptr) {
    if (now_ms >= deadline_ms_) {
      Close(download_ != nullptr && download_->streaming
                ? "no \"down-block\" within " + std::to_string(limits_.reply_ms / 1000) + " s"
                : "no \"" + (commands_.empty() ? std::string("down-snap") : commands_.front().reply_name) +
                      "\" within " + std::to_string(limits_.reply_ms / 1000) + " s");
    }
  } else if (now_ms - last_heard_ms_ >= limits_.idle_ms) {
    Close("silent for " + std::to_string(limits_.idle_ms / 1000) + " s (no \"ping\")");
  }
}

void CXAgentSession::Violation(const std::string& what, const CXMessage* frame) {
  std::string text = "protocol violation: " + what;
  if (frame != nullptr) text += " [" + tools::HexDump(tools::FrameBytes(*frame), 64) + "]";
  Close(text, /*violation=*/true);
}

void CXAgentSession::Fail(const std::string& why) { Close(why); }

void CXAgentSession::Close(const std::string& why, bool violation) {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  close_reason_ = why;
  boost::system::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  std::deque<Pending> waiting = std::move(commands_);
  std::deque<Outgoing> unsent = std::move(queued_);
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
