#include "server/sim/sim_agent.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "base/app_version.h"
#include "base/strings.h"
#include "link/tcpip_client.h"
#include "link/wire_text.h"
#include "record/package_version.h"
#include "settings/client_settings.h"

namespace orvalinth::sim {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

// Received bytes are read into one buffer per thread, this large.
constexpr size_t kReadChunk = 65536;
// A gathering buffer larger than this is given back once its frame is whole.
constexpr size_t kKeepInbox = 4096;
// Pings of a flood go out this many to a write.
constexpr uint32_t kFloodBatch = 512;
constexpr size_t kGarbageBytes = 4096;
// Where the service keeps its snapshots ("cannot open <path>").
constexpr char kDataFolder[] = "C:\\Program Files\\Orvalinth\\data\\";
constexpr char kSeparator = static_cast<char>(0xFE);

std::string LengthPrefix(int32_t length) {
  uint8_t prefix[4];
  CXMessage::WriteLength(prefix, length);
  return std::string(reinterpret_cast<const char*>(prefix), 4);
}

// The frame of a message as CXMessage encodes it.
std::string FrameOf(CXMessage& message) {
  int32_t length = 0;
  const uint8_t* frame = message.Encode(&length);
  return std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length));
}

// The frame of a "down-block" with `payload` bytes, up to its payload: what
// CXMessage gives for Init("down-block"), ReservePayload and SetPayloadSize.
std::string BlockHead(int32_t payload) {
  static const std::string kName = std::string("down-block") + kSeparator + kSeparator;
  return LengthPrefix(static_cast<int32_t>(kName.size()) + payload) + kName;
}

const std::string& EndMarkerFrame() {
  static const std::string frame = [] {
    CXMessage m;
    m.Init("down-block").AddInt("done", 1);
    return FrameOf(m);
  }();
  return frame;
}

const std::string& PingFrame() {
  static const std::string frame = [] {
    CXMessage m;
    m.Init("ping");
    return FrameOf(m);
  }();
  return frame;
}

const std::string& PingFlood() {
  static const std::string frames = [] {
    std::string all;
    for (uint32_t i = 0; i < kFloodBatch; ++i) all += PingFrame();
    return all;
  }();
  return frames;
}

// What a port scanner or a stray client sends: a line of another protocol
// ("GET " read as a length is 542,393,671), then bytes of no meaning.
std::string Garbage(const std::string& seed) {
  std::string bytes = "GET / HTTP/1.1\r\nHost: orvalinth\r\n\r\n";
  uint32_t x = 2166136261u;
  for (char c : seed) x = (x ^ static_cast<uint8_t>(c)) * 16777619u;
  while (bytes.size() < kGarbageBytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes += static_cast<char>(x & 0xFF);
  }
  return bytes;
}


// The message every received frame is decoded into, and every reply built in.
CXMessage& ThreadMessage() {
  thread_local CXMessage message;
  return message;
}

}  // namespace

CXSimAgent::CXSimAgent(asio::io_context& io, const SXSimShared& shared, SXSimAgentConfig config, size_t index)
    : socket_(io), link_timer_(io), ping_timer_(io), scan_timer_(io), shared_(shared), config_(std::move(config)) {
  server_ = index;
  id_ = config_.id;
  for (int32_t n = 1; n <= config_.saved; ++n) saved_.push_back(n);
  snapshot_count_ = std::max(config_.saved, 0);
  hostile_left_ = config_.hostile_times > 0 ? config_.hostile_times : -1;
  app_version_ = config_.app_version > 0 ? config_.app_version : APP_VERSION;
  tell_upgrade_ = config_.upgraded;
  upgrade_ok_ = config_.upgrade_ok;
  counters_.Set(kSnapshotsHeld, saved_.size());
}

// ---- the link ----

void CXSimAgent::Start(int64_t delay_ms) {
  if (phase_ != Phase::kWaiting) return;
  ArmLink(delay_ms, &CXSimAgent::Connect);
}

void CXSimAgent::Connect() {
  if (phase_ != Phase::kWaiting) return;
  phase_ = Phase::kConnecting;
  const uint32_t generation = ++generation_;
  counters_.Add(kConnects);
  const tcp::endpoint& endpoint =
      shared_.endpoints.empty() ? shared_.endpoint : shared_.endpoints[server_ % shared_.endpoints.size()];
  socket_.async_connect(endpoint, [this, generation](const error_code& error) {
    if (generation != generation_ || phase_ != Phase::kConnecting) return;
    if (error) {
      counters_.Add(kConnectFailures);
      ++server_;  // the next server, when there are several
      Tell("cannot connect: " + error.message());
      error_code ignored;
      socket_.close(ignored);
      AfterClose(shared_.timing.reconnect_ms);
      return;
    }
    OnConnected();
  });
}

void CXSimAgent::OnConnected() {
  error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  socket_.non_blocking(true, ignored);
  counters_.Add(kLinks);
  if (had_link_) counters_.Add(kReconnects);
  had_link_ = true;
  SetGauge(kConnectedNow, true);
  phase_ = Phase::kGreeting;
  inbox_.clear();
  WaitReadable();
  if (Is(HostileMode::kSilent) && HostileAct()) {
    hung_ = true;  // not a byte, until the console gives up
    return;
  }
  if (Is(HostileMode::kGarbage) && HostileAct()) {
    hung_ = true;
    Out out;
    out.head = Garbage(config_.name);
    Send(std::move(out));
    return;
  }
  SendHello();
  ArmLink(shared_.timing.greeting_timeout_ms, &CXSimAgent::GreetingTimedOut);
}

void CXSimAgent::SendHello() {
  CXMessage& hello = ThreadMessage();
  hello.Init("hello").AddString("ver", CXTCPIPclient::kProtocolMagic).AddInt("app", app_version_);
  SendMessage(hello);
}

void CXSimAgent::GreetingTimedOut() {
  if (phase_ != Phase::kGreeting) return;
  counters_.Add(kGreetingFailures);
  EndLink(Close::kGraceful, shared_.timing.reconnect_ms, "no greeting from the console in time");
}

void CXSimAgent::FrameTimedOut() {
  if (phase_ != Phase::kOnline || inbox_.empty()) return;
  EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, "the console stopped in the middle of a frame");
}

void CXSimAgent::EndLink(Close how, int64_t reconnect_ms, const std::string& why) {
  if (phase_ == Phase::kEnded || phase_ == Phase::kWaiting || phase_ == Phase::kClosing) return;
  Tell(why);
  const bool established = phase_ == Phase::kGreeting || phase_ == Phase::kOnline;
  if (established) counters_.Add(kDrops);
  SetGauge(kOnlineNow, false);
  StopStream();
  hung_ = false;
  flooding_ = false;
  ++ping_seq_;
  ping_timer_.cancel();
  if (how == Close::kGraceful && established) {
    // What is queued goes out first (a "null"), then the sending side
    // closes and the console's close is awaited, for a while.
    phase_ = Phase::kClosing;
    reconnect_after_ms_ = reconnect_ms;
    if (writing_ || !queue_.empty()) {
      close_after_write_ = true;
    } else {
      BeginDrain();
    }
    ArmLink(shared_.timing.close_drain_ms, &CXSimAgent::FinishClose);
    return;
  }
  error_code ignored;
  socket_.close(ignored);
  AfterClose(reconnect_ms);
}

void CXSimAgent::BeginDrain() {
  close_after_write_ = false;
  error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
}

void CXSimAgent::FinishClose() {
  if (phase_ != Phase::kClosing) return;
  error_code ignored;
  socket_.close(ignored);
  AfterClose(reconnect_after_ms_);
}

void CXSimAgent::AfterClose(int64_t reconnect_ms) {
  ++generation_;
  CancelLink();
  ++pace_seq_;
  pacing_ = false;
  writing_ = false;
  close_after_write_ = false;
  queue_.clear();
  sending_.clear();
  inbox_.clear();
  if (inbox_.capacity() > kKeepInbox) std::string().swap(inbox_);
  SetGauge(kConnectedNow, false);
  SetGauge(kOnlineNow, false);
  if (uninstalled_) phase_ = Phase::kEnded;
  if (phase_ == Phase::kEnded) return;
  phase_ = Phase::kWaiting;
  ArmLink(reconnect_ms, &CXSimAgent::Connect);
}

void CXSimAgent::Shutdown() {
  phase_ = Phase::kEnded;
  StopStream();
  scanning_ = false;
  SetGauge(kScanningNow, false);
  ++scan_seq_;
  scan_timer_.cancel();
  ++ping_seq_;
  ping_timer_.cancel();
  error_code ignored;
  socket_.close(ignored);
  AfterClose(0);
}

void CXSimAgent::DropLink() {
  if (phase_ == Phase::kClosing) {
    FinishClose();
    return;
  }
  EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, "link dropped by the fleet");
}

void CXSimAgent::Tell(const std::string& what) const {
  if (shared_.on_event) shared_.on_event(config_.name + ": " + what);
}

// ---- reading ----

void CXSimAgent::WaitReadable() {
  const uint32_t generation = generation_;
  socket_.async_wait(tcp::socket::wait_read, [this, generation](const error_code& error) {
    if (generation != generation_) return;
    if (error) {
      if (phase_ == Phase::kClosing) {
        FinishClose();
      } else {
        EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, "the link broke: " + error.message());
      }
      return;
    }
    OnReadable();
  });
}

void CXSimAgent::OnReadable() {
  thread_local std::vector<char> buffer(kReadChunk);
  const uint32_t generation = generation_;
  for (;;) {
    error_code error;
    const size_t n = socket_.read_some(asio::buffer(buffer), error);
    if (error == asio::error::would_block || error == asio::error::try_again) break;
    if (error) {
      if (phase_ == Phase::kClosing) {
        FinishClose();
      } else {
        EndLink(Close::kAtOnce, shared_.timing.reconnect_ms,
                error == asio::error::eof ? std::string("the console closed the link")
                                          : "the link broke: " + error.message());
      }
      return;
    }
    if (phase_ != Phase::kClosing && !Consume(buffer.data(), n)) return;
    if (generation != generation_) return;
    if (n < buffer.size()) break;
  }
  WaitReadable();
}

bool CXSimAgent::BadLength(int32_t length) {
  counters_.Add(kProtocolErrors);
  EndLink(Close::kAtOnce, shared_.timing.reconnect_ms,
          Format("the console sent a frame of length %d (0 to %d allowed)", static_cast<int>(length),
                 static_cast<int>(kMaxBody)));
  return false;
}

bool CXSimAgent::Consume(const char* bytes, size_t n) {
  const uint32_t generation = generation_;
  while (n > 0) {
    // A hung or mute agent takes in nothing; it only notices the close.
    if (hung_) return true;
    if (inbox_.empty() && n >= 4) {
      const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(bytes));
      if (length < 0 || length > kMaxBody) return BadLength(length);
      if (n - 4 >= static_cast<size_t>(length)) {
        // A whole frame in the read buffer: taken from there.
        if (!OnFrame(bytes + 4, length) || generation != generation_) return false;
        bytes += 4 + static_cast<size_t>(length);
        n -= 4 + static_cast<size_t>(length);
        continue;
      }
    }
    if (inbox_.size() < 4) {
      const size_t take = std::min(4 - inbox_.size(), n);
      inbox_.append(bytes, take);
      bytes += take;
      n -= take;
      if (inbox_.size() < 4) break;
      const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(inbox_.data()));
      if (length < 0 || length > kMaxBody) return BadLength(length);
    }
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(inbox_.data()));
    const size_t whole = 4 + static_cast<size_t>(length);
    const size_t take = std::min(whole - inbox_.size(), n);
    inbox_.append(bytes, take);
    bytes += take;
    n -= take;
    if (inbox_.size() == whole) {
      const bool kept = OnFrame(inbox_.data() + 4, length);
      if (!kept || generation != generation_) return false;
      inbox_.clear();
      if (inbox_.capacity() > kKeepInbox) std::string().swap(inbox_);
    }
  }
  // As the service's receive: a frame begun must go on arriving.
  if (phase_ == Phase::kOnline) {
    if (!inbox_.empty()) {
      frame_timer_ = true;
      ArmLink(shared_.timing.frame_timeout_ms, &CXSimAgent::FrameTimedOut);
    } else if (frame_timer_) {
      frame_timer_ = false;
      CancelLink();
    }
  }
  return true;
}

bool CXSimAgent::OnFrame(const char* body, int32_t length) {
  CXMessage& message = ThreadMessage();
  uint8_t* into = message.ReserveBody(length);
  if (length > 0) std::memcpy(into, body, static_cast<size_t>(length));
  if (!message.Decode()) {
    counters_.Add(kProtocolErrors);
    EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, "the console sent a frame that does not decode");
    return false;
  }
  const uint32_t generation = generation_;
  if (phase_ == Phase::kGreeting) {
    OnGreeting(message);
  } else if (phase_ == Phase::kOnline) {
    counters_.Add(kCommands);
    ArmPing();
    Dispatch(message);
  }
  return generation == generation_;
}

void CXSimAgent::OnGreeting(CXMessage& hello) {
  CancelLink();
  const std::string& version = hello.GetString("ver");
  const size_t magic = sizeof(CXTCPIPclient::kProtocolMagic) - 1;
  if (!hello.IsNamed("hello") || version.size() < magic ||
      std::memcmp(version.data(), CXTCPIPclient::kProtocolMagic, magic) != 0) {
    counters_.Add(kGreetingFailures);
    EndLink(Close::kGraceful, shared_.timing.reconnect_ms, "the console's greeting is not one (invalid protocol)");
    return;
  }
  SendInfo();
  phase_ = Phase::kOnline;
  frame_timer_ = false;
  counters_.Add(kGreeted);
  SetGauge(kOnlineNow, true);
  ArmPing();
  AfterInfo();
}

// ---- writing ----

void CXSimAgent::Send(Out out) {
  if (phase_ == Phase::kWaiting || phase_ == Phase::kConnecting || phase_ == Phase::kEnded) return;
  queue_.push_back(std::move(out));
  StartWrite();
}

void CXSimAgent::SendMessage(CXMessage& message, OutKind kind) {
  Out out;
  out.head = FrameOf(message);
  out.kind = kind;
  Send(std::move(out));
}

void CXSimAgent::StartWrite() {
  if (writing_) return;
  if (queue_.empty()) Refill();
  if (queue_.empty()) {
    if (close_after_write_) BeginDrain();
    return;
  }
  writing_ = true;
  sending_.swap(queue_);
  gather_.clear();
  for (const Out& out : sending_) {
    if (!out.head.empty()) gather_.push_back(asio::buffer(out.head));
    if (out.size != 0) gather_.push_back(asio::buffer(out.data, out.size));
  }
  const uint32_t generation = generation_;
  asio::async_write(socket_, gather_,
                    [this, generation](const error_code& error, size_t) { OnWritten(generation, error); });
}

void CXSimAgent::OnWritten(uint32_t generation, const error_code& error) {
  if (generation != generation_) return;
  writing_ = false;
  bool cut = false;
  for (const Out& out : sending_) {
    switch (out.kind) {
      case OutKind::kPing: counters_.Add(kPingsSent, out.pings); break;
      case OutKind::kBlock:
        counters_.Add(kBlocksServed);
        counters_.Add(kBytesServed, out.size);
        break;
      case OutKind::kEndMarker: counters_.Add(kSnapshotsServed); break;
      case OutKind::kTrickle: counters_.Add(kBytesServed, out.size); break;
      case OutKind::kCut:
        counters_.Add(kBytesServed, out.size);
        cut = true;
        break;
      case OutKind::kOther: break;
    }
  }
  sending_.clear();
  if (error) {
    if (phase_ == Phase::kClosing) {
      FinishClose();
      return;
    }
    // As the service: a command link whose send fails is connected again
    // at once; a greeting that cannot be sent waits.
    EndLink(Close::kAtOnce, phase_ == Phase::kOnline ? 0 : shared_.timing.reconnect_ms,
            "cannot send: " + error.message());
    return;
  }
  if (cut) {
    if (stream_hostile_ == HostileMode::kVanishDownload) {
      // As a machine that goes down: its system closes the link, in the
      // middle of a frame.
      EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, "vanished in the middle of a download");
      return;
    }
    hung_ = true;  // stalled: not a byte more
    return;
  }
  StartWrite();
}

void CXSimAgent::Refill() {
  if (phase_ != Phase::kOnline || hung_) return;
  if (uploading_) {
    if (stream_hostile_ == HostileMode::kEndlessDownload || stream_hostile_ == HostileMode::kTrickleDownload) {
      if (!pacing_) ArmPace();
      return;
    }
    NextBlock();
    return;
  }
  if (flooding_) {
    Out out;
    out.head = PingFlood();
    out.kind = OutKind::kPing;
    out.pings = kFloodBatch;
    queue_.push_back(std::move(out));
  }
}

void CXSimAgent::NextBlock() {
  const std::string* bytes = stream_.get();
  const size_t size = bytes != nullptr ? bytes->size() : 0;
  const size_t left = size - std::min(stream_offset_, size);
  const int32_t n = static_cast<int32_t>(std::min<size_t>(left, kBlockSize));
  Out block;
  block.head = BlockHead(n);
  block.data = bytes != nullptr ? bytes->data() + stream_offset_ : nullptr;
  block.size = static_cast<size_t>(n);
  block.kind = OutKind::kBlock;
  const bool cuts = stream_hostile_ == HostileMode::kStallDownload || stream_hostile_ == HostileMode::kVanishDownload;
  if (cuts && size > 0 && stream_offset_ + block.size > size / 2) {
    // The frame announces the whole block; half the file's bytes are all
    // that come.
    block.size = size / 2 - stream_offset_;
    block.kind = OutKind::kCut;
    queue_.push_back(std::move(block));
    return;
  }
  stream_offset_ += block.size;
  queue_.push_back(std::move(block));
  if (n < kBlockSize) {
    // The last block: the file closes, then the end marker.
    StopStream();
    Out marker;
    marker.head = EndMarkerFrame();
    marker.kind = OutKind::kEndMarker;
    queue_.push_back(std::move(marker));
  }
}

void CXSimAgent::StopStream() {
  uploading_ = false;
  stream_.reset();
  stream_hostile_ = HostileMode::kNone;
  SetGauge(kStreamingNow, false);
}

void CXSimAgent::ArmPace() {
  pacing_ = true;
  if (pace_timer_ == nullptr) pace_timer_ = std::make_unique<asio::steady_timer>(socket_.get_executor());
  const uint32_t seq = ++pace_seq_;
  pace_timer_->expires_after(std::chrono::milliseconds(shared_.timing.trickle_ms));
  pace_timer_->async_wait([this, seq](const error_code& error) {
    if (error || seq != pace_seq_) return;
    Pace();
  });
}

void CXSimAgent::Pace() {
  pacing_ = false;
  if (phase_ != Phase::kOnline || !uploading_ || hung_) return;
  const std::string& block = *shared_.endless;
  Out out;
  if (stream_hostile_ == HostileMode::kEndlessDownload) {
    out.head = BlockHead(kBlockSize);
    out.data = block.data();
    out.size = kBlockSize;
    out.kind = OutKind::kBlock;
  } else if (stream_hostile_ == HostileMode::kTrickleDownload) {
    if (trickled_ == 0) out.head = BlockHead(kBlockSize);
    out.data = block.data() + trickled_;
    out.size = 1;
    out.kind = OutKind::kTrickle;
    trickled_ = (trickled_ + 1) % kBlockSize;
  }
  if (out.head.empty() && out.size == 0) {
    StartWrite();
    return;
  }
  Send(std::move(out));
}

// ---- timers ----

void CXSimAgent::ArmLink(int64_t ms, Step step) {
  const uint32_t seq = ++link_seq_;
  link_timer_.expires_after(std::chrono::milliseconds(ms));
  link_timer_.async_wait([this, seq, step](const error_code& error) {
    if (error || seq != link_seq_) return;
    (this->*step)();
  });
}

void CXSimAgent::CancelLink() {
  ++link_seq_;
  link_timer_.cancel();
}

void CXSimAgent::ArmPing() {
  const uint32_t seq = ++ping_seq_;
  ping_timer_.expires_after(std::chrono::milliseconds(shared_.timing.ping_idle_ms));
  ping_timer_.async_wait([this, seq](const error_code& error) {
    if (error || seq != ping_seq_ || phase_ != Phase::kOnline) return;
    PingDue();
  });
}

void CXSimAgent::PingDue() {
  // As the service: no ping while a download streams or a frame is being
  // received, and none from a hung agent.
  if (!uploading_ && !hung_ && inbox_.empty()) {
    Out out;
    out.head = PingFrame();
    out.kind = OutKind::kPing;
    out.pings = 1;
    Send(std::move(out));
  }
  ArmPing();
}

// ---- the dispatcher ----

bool CXSimAgent::HostileAct() {
  if (config_.hostile == HostileMode::kNone || hostile_left_ == 0) return false;
  if (hostile_left_ > 0) --hostile_left_;
  counters_.Add(kHostileActs);
  Tell(std::string("misbehaves on purpose: ") + HostileModeName(config_.hostile));
  return true;
}

std::string CXSimAgent::SavedText() const {
  std::string text;
  for (int32_t n : saved_) {
    if (!text.empty()) text += ',';
    text += std::to_string(n);
  }
  return text;
}

bool CXSimAgent::Holds(int32_t number) const {
  return std::find(saved_.begin(), saved_.end(), number) != saved_.end();
}

void CXSimAgent::RemoveSaved(int32_t number) {
  const auto found = std::find(saved_.begin(), saved_.end(), number);
  if (found != saved_.end()) saved_.erase(found);
  counters_.Set(kSnapshotsHeld, saved_.size());
}

int32_t CXSimAgent::NextSnapshotNumber() const {
  return snapshot_count_ < std::numeric_limits<int32_t>::max() ? snapshot_count_ + 1 : snapshot_count_;
}

void CXSimAgent::SendInfo() {
  CXMessage& info = ThreadMessage();
  info.Init("info")
      .AddString("name", WireValue(config_.name))
      .AddInt("app-ver", app_version_)
      .AddInt("app-bit", 64)
      .AddInt("os-bit", 64)
      .AddInt("scanning", scanning_ ? 1 : 0)
      .AddInt("id", id_)
      .AddString("saved-uids", SavedText())
      .AddString("scan-targets", ScanTargetsText(targets_));
  // Told once, as the service deletes the crash copy and the upgrade copy.
  if (tell_upgrade_) {
    info.AddInt("upgraded", 1).AddInt("app-ver", app_version_).AddInt("upgrade-ok", upgrade_ok_ ? 1 : 0);
  }
  if (!crash_told_ && !config_.crash_report.empty()) info.AddString("crash", CrashReportValue(config_.crash_report));
  tell_upgrade_ = false;
  crash_told_ = true;
  SendMessage(info);
}

void CXSimAgent::AfterInfo() {
  Out out;
  if (Is(HostileMode::kBadLength) && HostileAct()) {
    out.head = LengthPrefix(kMaxBody + 1);
  } else if (Is(HostileMode::kBadBody) && HostileAct()) {
    out.head = LengthPrefix(5) + "ping" + kSeparator;
  } else if (Is(HostileMode::kPingFlood) && HostileAct()) {
    flooding_ = true;
    StartWrite();
    return;
  } else {
    return;
  }
  // Nothing after a broken frame: the console must drop the link.
  Send(std::move(out));
  hung_ = true;
}

void CXSimAgent::Dispatch(CXMessage& m) {
  if (m.IsNamed("get-disk")) {
    m.Init("get-disk").AddString("disk", "c1");
    SendMessage(m);
    return;
  }
  if (m.IsNamed("get-dir")) {
    // As the service lists the subfolders matching the path and "*.*": a
    // folder's ("C:\") are the fixed ones, a name's ("C:\Windows") none.
    const std::string& path = m.GetString("path");
    if (path.empty() || path.back() != '\\') {
      m.Init("get-dir").AddList("path", {});
      SendMessage(m);
      return;
    }
    m.Init("get-dir").AddList("path", std::vector<std::u16string>{u"1Windows", u"0Temp", u"2Docs \u25BA D:\\Docs"});
    SendMessage(m);
    return;
  }
  if (m.IsNamed("get-reg")) {
    m.Init("get-dir").AddList("path", std::vector<std::u16string>{u"1SOFTWARE", u"0SAM"});
    SendMessage(m);
    return;
  }
  if (m.IsNamed("set-uid")) {
    id_ = m.GetInt("id");
    counters_.Add(kIdsAssigned);
    return;
  }
  if (m.IsNamed("get-scan")) return GetScanCommand(m);
  if (m.IsNamed("set-scan")) {
    std::string error;
    const int taken = TakeScanSettings(m, /*with_removable=*/true, &error);
    m.Init("set-scan").AddInt("ok", taken == 1 ? 1 : 0).AddString("scan-targets", ScanTargetsText(targets_));
    SendMessage(m);
    return;
  }
  if (m.IsNamed("scan")) return ScanCommand(m);
  if (m.IsNamed("stop-scan")) return StopScanCommand(m);
  if (m.IsNamed("down-snap")) return DownSnapCommand(m);
  if (m.IsNamed("down-ack")) return DownAckCommand(m);
  if (m.IsNamed("upgd-cli")) return UpgradeCommand(m);
  if (m.IsNamed("uninstall")) {
    counters_.Add(kUninstalls);
    uninstalled_ = true;
    EndLink(Close::kGraceful, 0, "uninstalled by the console");
    return;
  }
  const std::string name = LogSafe(m.Name());
  counters_.Add(kUnknownCommands);
  m.Init("null");
  SendMessage(m);
  EndLink(Close::kGraceful, shared_.timing.reconnect_ms, "unknown cmd [" + name + "]");
}

int CXSimAgent::TakeScanSettings(const CXMessage& m, bool with_removable, std::string* error) {
  SXScanTargets targets;
  if (!ReadScanTargetLists(m, &targets, error)) return -1;
  targets.add_version_info = m.GetInt("add-ver-inf");
  targets.full_scan = m.GetInt("full");
  targets.show_removable_disks = with_removable ? m.GetInt("show-rem-dsk") : targets_.show_removable_disks;
  targets_ = std::move(targets);
  snapshot_name_ = m.GetString("snap-name");
  return 1;
}

void CXSimAgent::GetScanCommand(CXMessage& m) {
  if (snapshot_name_.empty()) {
    snapshot_name_ = Format("%s - snapshot #%d", config_.name.c_str(), static_cast<int>(NextSnapshotNumber()));
  }
  m.Init("get-scan")
      .AddInt("full", targets_.full_scan)
      .AddInt("add-ver-inf", targets_.add_version_info)
      .AddInt("show-rem-dsk", targets_.show_removable_disks)
      .AddString("snap-name", WireValue(snapshot_name_))
      .AddList("regs", targets_.registry)
      .AddList("file", targets_.files)
      .AddList("apps", targets_.applications);
  SendMessage(m);
}

void CXSimAgent::UpgradeCommand(CXMessage& m) {
  std::string refusal = "upgrade is not available";
  int32_t version = 0;
  if (config_.upgrade == SimUpgrade::kApply) {
    const std::string_view package(reinterpret_cast<const char*>(m.Payload()), static_cast<size_t>(m.PayloadSize()));
    std::string why;
    refusal = ReadPackageVersion(package, &version, &why) ? std::string() : "cannot upgrade: " + why;
  } else if (config_.upgrade == SimUpgrade::kKeepOld) {
    refusal.clear();
    version = app_version_;
  }
  if (!refusal.empty()) {
    m.Init("upgd-cli").AddInt("ok", 0).AddString("msg", WireValue(refusal));
    SendMessage(m);
    return;
  }
  // As the service: the new program replaces this one, whose link ends;
  // the next "info" tells how it went.
  counters_.Add(kUpgrades);
  upgrade_ok_ = version != app_version_;
  app_version_ = version;
  tell_upgrade_ = true;
  saved_.clear();  // an upgrade discards the snapshots held
  counters_.Set(kSnapshotsHeld, 0);
  EndLink(Close::kAtOnce, shared_.timing.reconnect_ms, Format("upgrading to version %d", static_cast<int>(version)));
}

void CXSimAgent::ScanCommand(CXMessage& m) {
  std::string error;
  bool refused = false;
  if (m.GetInt("default") != 0) {
    const std::string& name = m.GetString("snap-name");
    if (!name.empty()) snapshot_name_ = name;
  } else {
    refused = TakeScanSettings(m, /*with_removable=*/false, &error) < 0;
  }
  bool started = false;
  if (!refused) {
    if (scanning_) {
      error = "scan already in progress";
    } else {
      started = true;
      scanning_ = true;
      scan_number_ = NextSnapshotNumber();
      current_snapshot_ = scan_number_;
      counters_.Add(kScansStarted);
      SetGauge(kScanningNow, true);
      const uint32_t seq = ++scan_seq_;
      scan_timer_.expires_after(std::chrono::milliseconds(shared_.timing.scan_ms));
      scan_timer_.async_wait([this, seq](const error_code& e) {
        if (e || seq != scan_seq_) return;
        ScanDone();
      });
    }
  }
  m.Init("scan").AddInt("ok", started ? 1 : 0);
  if (!started) m.AddString("msg", WireValue(error));
  SendMessage(m);
}

void CXSimAgent::ScanDone() {
  if (!scanning_) return;
  scanning_ = false;
  SetGauge(kScanningNow, false);
  if (!Holds(scan_number_)) saved_.push_back(scan_number_);
  counters_.Set(kSnapshotsHeld, saved_.size());
  snapshot_count_ = scan_number_;
  snapshot_name_.clear();
  counters_.Add(kScansDone);
  // Without a greeted link the next "info" lists the snapshot, which says
  // all that "scan-done" would.
  if (phase_ != Phase::kOnline || hung_) return;
  CXMessage& done = ThreadMessage();
  done.Init("scan-done").AddInt("ok", 1).AddInt("id-snapshot", scan_number_);
  SendMessage(done);
}

void CXSimAgent::StopScanCommand(CXMessage& m) {
  const std::string text = m.GetString("msg");
  // The snapshot being recorded, else the one last recorded or opened for
  // download.
  const bool recording = scanning_;
  const int32_t discard = recording ? scan_number_ : current_snapshot_;
  // The download first: it ends without its end marker.
  StopStream();
  if (!recording && discard != 0) RemoveSaved(discard);
  if (recording) {
    scanning_ = false;
    SetGauge(kScanningNow, false);
    ++scan_seq_;
    scan_timer_.cancel();
    counters_.Add(kScansStopped);
  }
  m.Init("stop-scan").AddInt("ok", text.empty() ? 1 : 0);
  if (!text.empty()) m.AddString("msg", text);
  SendMessage(m);
}

void CXSimAgent::DownSnapCommand(CXMessage& m) {
  const int32_t n = m.GetInt("id-snapshot");
  current_snapshot_ = n;
  // The file of a stream in progress closes first; the stream itself goes on
  // (to an empty block and the end marker) when the new one does not open.
  stream_.reset();
  ++pace_seq_;
  pacing_ = false;
  const bool held = Holds(n) && !(scanning_ && scan_number_ == n);
  if (!held) {
    stream_hostile_ = HostileMode::kNone;
    counters_.Add(kDownloadsRefused);
    const std::string path = std::string(kDataFolder) + Format("snapshot%03d.snp", static_cast<int>(n));
    m.Init("down-snap").AddInt("size", 0).AddString("msg", WireValue("cannot open " + path));
    SendMessage(m);
    return;
  }
  SnapshotVariant variant = SnapshotVariant::kNormal;
  stream_hostile_ = HostileMode::kNone;
  if (Is(HostileMode::kCorruptSnapshot) && HostileAct()) {
    variant = SnapshotVariant::kCorrupt;
  } else if (Is(HostileMode::kClockOff) && HostileAct()) {
    variant = SnapshotVariant::kClockOff;
  } else if ((Is(HostileMode::kEndlessDownload) || Is(HostileMode::kTrickleDownload) ||
              Is(HostileMode::kStallDownload) || Is(HostileMode::kVanishDownload)) &&
             HostileAct()) {
    stream_hostile_ = config_.hostile;
  }
  SnapshotBytes bytes = shared_.snapshots->Get(variant, n);
  stream_ = bytes;
  stream_offset_ = 0;
  trickled_ = 0;
  uploading_ = true;
  SetGauge(kStreamingNow, true);
  counters_.Add(kDownloadsStarted);
  m.Init("down-snap").AddInt("size", static_cast<int32_t>(bytes->size()));
  if (bytes->empty()) m.AddString("msg", "");
  SendMessage(m);
}

void CXSimAgent::DownAckCommand(const CXMessage& m) {
  const int32_t n = m.GetInt("id-snapshot");
  // As the service: the snapshot a scan still records is not deleted.
  if (scanning_ && scan_number_ == n) {
    Tell(Format("cannot delete snapshot %d: it is being recorded", static_cast<int>(n)));
    return;
  }
  if (!Holds(n)) return;
  RemoveSaved(n);
  counters_.Add(kSnapshotsAcknowledged);
}

SXSimAgentState CXSimAgent::State() const {
  SXSimAgentState state;
  state.name = config_.name;
  state.id = id_;
  state.saved = saved_;
  state.snapshot_count = snapshot_count_;
  state.scan_targets = ScanTargetsText(targets_);
  state.connected = phase_ == Phase::kGreeting || phase_ == Phase::kOnline || phase_ == Phase::kClosing;
  state.online = phase_ == Phase::kOnline;
  state.scanning = scanning_;
  state.streaming = uploading_;
  state.ended = phase_ == Phase::kEnded;
  return state;
}

}  // namespace orvalinth::sim
