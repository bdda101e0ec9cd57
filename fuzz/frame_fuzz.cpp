// Arbitrary bytes as the console's side of the link: they go to the frame
// receiver (CXTCPIPclient::RecvMessage over an in-memory sockets facility
// that hands them out in pieces the input chooses) and, whole, to Decode.
// Whatever decodes is read with every reader and encoded again, which must
// give back the very body that arrived.
//
// Input: byte 0 chooses the size of the pieces a receive returns (0: all that
// is asked), byte 1 bit 0 whether the stream ends cleanly or with a receive
// error; the rest is the stream.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/message.h"
#include "link/tcpip_client.h"
#include "platform/facility.h"
#include "platform/sockets.h"

namespace orvalinth {
namespace {

constexpr platform::SocketHandle kFakeSocket = 7;

class StreamSockets final : public platform::Sockets {
 public:
  StreamSockets(const uint8_t* data, size_t size, size_t piece, bool clean_end)
      : data_(data), size_(size), piece_(piece), clean_end_(clean_end) {}

  bool Startup() override { return true; }
  platform::SocketHandle CreateTcp() override { return platform::kNoSocket; }
  bool SetReceiveTimeout(platform::SocketHandle, int32_t) override { return true; }
  bool SetSendTimeout(platform::SocketHandle, int32_t) override { return true; }
  bool SetNoDelay(platform::SocketHandle) override { return true; }
  int WaitReadable(platform::SocketHandle, int32_t) override { return 1; }
  bool Connect(platform::SocketHandle, uint32_t, uint16_t) override { return false; }
  int32_t Send(platform::SocketHandle, const void*, int32_t n) override { return n; }
  int32_t Recv(platform::SocketHandle s, void* buffer, int32_t n) override {
    if (s != kFakeSocket || closed_ || n < 0) std::abort();  // a receive after the close
    if (at_ == size_) {
      if (clean_end_) return 0;
      platform::SetLastSocketError(platform::kWsaTimedOut);
      return -1;
    }
    size_t take = std::min(static_cast<size_t>(n), size_ - at_);
    if (piece_ != 0) take = std::min(take, piece_);
    std::memcpy(buffer, data_ + at_, take);
    at_ += take;
    return static_cast<int32_t>(take);
  }
  bool ShutdownSend(platform::SocketHandle) override { return true; }
  void Close(platform::SocketHandle s) override {
    if (s != kFakeSocket || closed_) std::abort();  // closed twice, or a stranger
    closed_ = true;
  }
  platform::SocketHandle Listen(uint32_t, uint16_t, int) override { return platform::kNoSocket; }
  bool LocalPort(platform::SocketHandle, uint16_t*) override { return false; }
  platform::SocketHandle Accept(platform::SocketHandle) override { return platform::kNoSocket; }
  uint32_t ParseAddress(const std::string&) override { return platform::kAddressNone; }
  bool LookupHost(const std::string&, uint32_t*) override { return false; }

  size_t consumed() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t piece_;
  bool clean_end_;
  size_t at_ = 0;
  bool closed_ = false;
  bool StartTlsClient(platform::SocketHandle, const platform::TlsClientConfig&, platform::TlsFailure*) override {
    return false;
  }
  bool StartTlsServer(platform::SocketHandle, const platform::TlsServerIdentity&, int32_t,
                      platform::TlsFailure*) override {
    return false;
  }
  std::string TlsDescription(platform::SocketHandle) override { return std::string(); }
  platform::TlsFailure TlsBreak(platform::SocketHandle) override { return platform::TlsFailure(); }
};

class StreamClient : public CXTCPIPclient {
 public:
  void Attach() {
    socket_ = kFakeSocket;
    stat_ = kStatConnected;
  }
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// Reads a decoded message with every reader and checks what it gives.
void Exercise(const CXMessage& m, const std::string& body, bool decoded) {
  const uint8_t* begin = m.buffer().data();
  const uint8_t* end = begin + m.buffer().size();
  Check(m.PayloadSize() >= 0);
  Check(m.PayloadSize() == 0 || (m.Payload() >= begin && m.Payload() + m.PayloadSize() <= end));
  Check(m.keys().size() == m.values().size());

  unsigned sum = 0;
  for (int32_t i = 0; i < m.PayloadSize(); ++i) sum += m.Payload()[i];
  std::vector<std::u16string> list;
  for (const std::string& key : m.keys()) {
    sum += static_cast<unsigned>(m.GetString(key).size());
    sum += static_cast<unsigned>(m.GetInt(key));
    Check(m.GetList(key, &list));
    for (const std::u16string& element : list) sum += static_cast<unsigned>(element.size());
  }
  Check(!m.GetList(std::string("\xFE", 1), &list) && list.empty());  // no key holds FE
  std::string dump;
  m.Dump(&dump);
  Check(dump.compare(0, m.Name().size(), m.Name()) == 0);
  Check(m.IsNamed(m.Name()));
  volatile unsigned sink = sum;
  (void)sink;
  if (!decoded) return;

  // Decoding loses nothing: encoding the parts gives the body back (a marker
  // with an empty payload reads as no payload).
  CXMessage again;
  again.Init(m.Name());
  for (size_t i = 0; i < m.keys().size(); ++i) again.AddString(m.keys()[i], m.values()[i]);
  if (m.PayloadSize() > 0) {
    std::memcpy(again.ReservePayload(m.PayloadSize()), m.Payload(), static_cast<size_t>(m.PayloadSize()));
    again.SetPayloadSize(m.PayloadSize());
  }
  int32_t length = 0;
  const uint8_t* frame = again.Encode(&length);
  Check(length >= 4 && CXMessage::ReadLength(frame) == length - 4);
  const std::string encoded(reinterpret_cast<const char*>(frame) + 4, static_cast<size_t>(length - 4));
  Check(encoded == body || (m.PayloadSize() == 0 && encoded + "\xFE\xFE" == body));
}

}  // namespace
}  // namespace orvalinth

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  if (size < 2) return 0;
  const size_t piece = data[0] % 64;
  const bool clean_end = (data[1] & 1) != 0;
  const uint8_t* stream = data + 2;
  const size_t stream_size = size - 2;

  // The receiver, frame after frame, each into a message of its own so that
  // its buffer is exactly the body and a read beyond it is caught.
  {
    StreamSockets sockets(stream, stream_size, piece, clean_end);
    platform::ScopedFacility<platform::Sockets> use(sockets);
    StreamClient client;
    client.Attach();
    size_t frame_start = 0;
    for (;;) {
      CXMessage m;
      if (!client.RecvMessage(m)) break;
      const size_t body_start = frame_start + 4;
      frame_start = sockets.consumed();
      Check(frame_start - body_start == static_cast<size_t>(m.buffer().size()));
      Exercise(m, std::string(reinterpret_cast<const char*>(stream) + body_start, frame_start - body_start), true);
    }
    Check(client.socket() == platform::kNoSocket);  // every failure closes the link
    if (stream_size - frame_start >= 4) {
      // A bad length is never followed by reading the body.
      const int32_t length = CXMessage::ReadLength(stream + frame_start);
      if (length < 0 || length > CXTCPIPclient::kMaxBody) Check(sockets.consumed() == frame_start + 4);
    }
    const int32_t stat = client.stat();
    Check(stat == CXTCPIPclient::kStatConnected || stat == CXTCPIPclient::kStatConnectionError ||
          stat == CXTCPIPclient::kStatConnectionClosed);
  }

  // The whole stream as one body.
  CXMessage m;
  uint8_t* body = m.ReserveBody(static_cast<int32_t>(stream_size));
  if (stream_size > 0) std::memcpy(body, stream, stream_size);
  const bool decoded = m.Decode();
  Exercise(m, std::string(reinterpret_cast<const char*>(stream), stream_size), decoded);
  return 0;
}
