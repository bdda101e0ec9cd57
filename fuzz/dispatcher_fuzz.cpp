// The agent's command dispatcher fed with arbitrary decoded frames through a
// fake link: each input is a session of commands (every command name the
// console may send, and a few it may not) with keys and values of its
// choosing and an optional payload. Each command is encoded as the console
// would send it, decoded as the agent receives it, and dispatched
// (CXClient::DispatchCommand); the replies go to an in-memory socket and
// must be whole frames that decode, named as the agent's replies are.
// Settings, snapshot files and the log live in a private program folder that
// starts each input as the same few files. A "scan" runs a recording of the
// input's choosing (starts or fails, finishes at once or runs until stopped,
// completes or fails).
//
// Input, per command: byte N, the name (N % 16: the command table, 14 and 15
// a name from the input); byte K, the number of keys (K % 8), each a key
// byte (the key table, or a key from the input) and a value; a payload; the
// recording's behaviour (N / 16). A text from the input is a length byte
// (255: two more bytes, little-endian) and that many bytes.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_folder.h"
#include "link/client.h"
#include "link/message.h"
#include "platform/facility.h"
#include "platform/sockets.h"

namespace orvalinth {
namespace {

constexpr platform::SocketHandle kFakeSocket = 9;

const char* const kCommands[14] = {"get-disk", "get-dir", "get-reg",  "set-uid",   "get-scan", "set-scan", "scan",
                                   "stop-scan", "down-snap", "down-ack", "upgd-cli", "uninstall", "ping", "info"};
const char* const kKeys[15] = {"path", "id", "id-snapshot", "file", "regs", "apps", "full", "add-ver-inf",
                               "show-rem-dsk", "snap-name", "default", "msg", "ok", "list", "size"};
const char* const kReplies[] = {"get-disk", "get-dir", "get-scan", "set-scan", "scan",
                                "stop-scan", "down-snap", "upgd-cli", "null", "scan-done"};

void Check(bool condition) {
  if (!condition) std::abort();
}

// The console's end of the link: every byte the agent sends is kept; there
// is never anything to receive.
class ConsoleSockets final : public platform::Sockets {
 public:
  bool Startup() override { return true; }
  platform::SocketHandle CreateTcp() override { return platform::kNoSocket; }
  bool SetReceiveTimeout(platform::SocketHandle, int32_t) override { return true; }
  bool SetSendTimeout(platform::SocketHandle, int32_t) override { return true; }
  bool SetNoDelay(platform::SocketHandle) override { return true; }
  int WaitReadable(platform::SocketHandle, int32_t) override { return 0; }
  bool Connect(platform::SocketHandle, uint32_t, uint16_t) override { return false; }
  int32_t Send(platform::SocketHandle s, const void* bytes, int32_t n) override {
    Check(s == kFakeSocket && n >= 0);
    sent.append(static_cast<const char*>(bytes), static_cast<size_t>(n));
    return n;
  }
  int32_t Recv(platform::SocketHandle, void*, int32_t) override {
    platform::SetLastSocketError(platform::kWsaTimedOut);
    return -1;
  }
  bool ShutdownSend(platform::SocketHandle) override { return true; }
  void Close(platform::SocketHandle s) override { Check(s == kFakeSocket); }
  platform::SocketHandle Listen(uint32_t, uint16_t, int) override { return platform::kNoSocket; }
  bool LocalPort(platform::SocketHandle, uint16_t*) override { return false; }
  platform::SocketHandle Accept(platform::SocketHandle) override { return platform::kNoSocket; }
  uint32_t ParseAddress(const std::string&) override { return platform::kAddressNone; }
  bool LookupHost(const std::string&, uint32_t*) override { return false; }

  std::string sent;
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

// The agent with its link up on the fake socket.
class LinkedClient final : public CXClient {
 public:
  LinkedClient(CXClientSettings& settings, SXClientTiming timing) : CXClient(settings, timing) {}
  void Attach() {
    socket_ = kFakeSocket;
    stat_ = kStatConnected;
  }
};

// What a "scan" of the input records.
struct RecordingChoice {
  bool start_fails = false;
  bool keeps_running = false;
  bool finish_fails = false;
};

class ChosenRecording final : public CXScanRecording {
 public:
  ChosenRecording(RecordingChoice choice, CXClientSettings& settings) : choice_(choice), settings_(settings) {}
  int StartRecording(int32_t number) override {
    number_ = number;
    if (choice_.start_fails) return 0;
    std::ofstream(Host(number), std::ios::binary) << "recorded " << number;
    return 1;
  }
  int IsRecording() override { return choice_.keeps_running ? 1 : 0; }
  int FinishRecording(int32_t) override {
    if (choice_.finish_fails) return 0;
    settings_.AddSnapshot();
    return 1;
  }
  void AbortRecording() override {
    std::error_code error;
    std::filesystem::remove(Host(number_), error);
  }
  std::string ErrorText() override { return "Cannot create file"; }

  static std::filesystem::path Host(int32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "snapshot%03d.snp", static_cast<int>(number));
    return fuzz::Scratch().host() / "data" / name;
  }

 private:
  RecordingChoice choice_;
  CXClientSettings& settings_;
  int32_t number_ = 0;
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Text() {
    size_t n = Byte();
    if (n == 255) n = Byte() | static_cast<size_t>(Byte()) << 8;
    n = std::min(n, size_ - std::min(at_, size_));
    std::string text(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The program folder as each input finds it: settings naming two saved
// snapshots whose files exist, and a third one that is gone.
void ResetFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::remove_all(folder / "data", error);
  std::filesystem::create_directories(folder / "data");
  std::filesystem::remove(folder / "OrvalinthSrv.log", error);
  std::ofstream(folder / "OrvalinthSrv.ini", std::ios::binary)
      << "ServerAddr:127.0.0.1\nServerPort:1\nComputerID:3\nSnapshotCnt:3\nSavedSnapshots:1,2,3\n"
         "ScanAll:0\nShowRemDsk:0\nAddExeVerInfo:1\n\nRegistry:\nHKEY_LOCAL_MACHINE\\SOFTWARE\\\n\n"
         "Files:\nC:\\\n\nApplications:\n*\n\n";
  std::ofstream(ChosenRecording::Host(1), std::ios::binary) << std::string(300000, 'a');
  std::ofstream(ChosenRecording::Host(2), std::ios::binary);
}

// Every byte sent so far from `from` on is whole frames that decode to a reply.
size_t CheckReplies(const std::string& sent, size_t from) {
  while (from < sent.size()) {
    Check(sent.size() - from >= 4);
    const int32_t length = CXMessage::ReadLength(reinterpret_cast<const uint8_t*>(sent.data()) + from);
    Check(length >= 0 && static_cast<size_t>(length) <= sent.size() - from - 4);
    CXMessage reply;
    uint8_t* body = reply.ReserveBody(length);
    if (length > 0) std::memcpy(body, sent.data() + from + 4, static_cast<size_t>(length));
    Check(reply.Decode());
    bool known = false;
    for (const char* name : kReplies) known = known || reply.IsNamed(name);
    Check(known);
    from += 4 + static_cast<size_t>(length);
  }
  return from;
}

}  // namespace
}  // namespace orvalinth

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  fuzz::ScratchFolder& folder = fuzz::Scratch();
  fuzz::InFolder in_folder(folder.process());
  ResetFolder(folder.host());
  ConsoleSockets sockets;
  platform::ScopedFacility<platform::Sockets> use(sockets);

  CXClientSettings settings;
  Check(settings.Load(folder.windows() + u"OrvalinthSrv.ini") == 1);
  SXClientTiming timing;
  timing.sleep_ms = 1;
  RecordingChoice choice;
  {
    LinkedClient client(settings, timing);
    client.set_recording_factory([&](std::string*) { return std::make_unique<ChosenRecording>(choice, settings); });
    SXMaintenanceActions actions;
    actions.upgrade = [](const uint8_t* bytes, int32_t length, std::string* error) {
      Check(length >= 0 && (length == 0 || bytes != nullptr));
      *error = "cannot write " + std::to_string(length) + " bytes \xFE\xFF";
      return 0;
    };
    actions.uninstall = [] {};
    client.set_maintenance_actions(actions);

    Input input(data, size);
    size_t checked = 0;
    bool endless = false;
    for (int commands = 0; !input.empty() && commands < 64; ++commands) {
      const uint8_t selector = input.Byte();
      const std::string name = selector % 16 < 14 ? kCommands[selector % 16] : input.Text();
      choice.start_fails = selector & 0x10;
      choice.keeps_running = selector & 0x20;
      choice.finish_fails = selector & 0x40;
      CXMessage sent;
      sent.Init(name);
      const int keys = input.Byte() % 8;
      for (int k = 0; k < keys; ++k) {
        const uint8_t key = input.Byte();
        sent.AddString(key % 16 < 15 ? std::string(kKeys[key % 16]) : input.Text(), input.Text());
      }
      const std::string payload = input.Text();
      if (!payload.empty()) {
        std::memcpy(sent.ReservePayload(static_cast<int32_t>(payload.size())), payload.data(), payload.size());
        sent.SetPayloadSize(static_cast<int32_t>(payload.size()));
      }
      // As the agent receives it: a frame the console's encoder makes but
      // that does not decode is refused by the receiver and never dispatched.
      int32_t length = 0;
      const uint8_t* frame = sent.Encode(&length);
      CXMessage received;
      std::memcpy(received.ReserveBody(length - 4), frame + 4, static_cast<size_t>(length - 4));
      if (!received.Decode()) continue;

      client.Attach();
      client.DispatchCommand(received);
      // A scan that ends by itself has ended before the next command, so that
      // an input always takes the same path; one that runs on runs until a
      // "stop-scan" or the end of the input.
      if (received.IsNamed("stop-scan")) endless = false;
      if (received.IsNamed("scan") && choice.keeps_running && client.running_threads() > 0) endless = true;
      while (!endless && client.running_threads() > 0) std::this_thread::yield();
      checked = CheckReplies(sockets.sent, checked);
    }
  }  // the client stops a scan that still runs
  CheckReplies(sockets.sent, 0);
  return 0;
}
