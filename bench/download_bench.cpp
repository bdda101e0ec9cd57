// Download throughput of a snapshot over loopback.
//
//   Download/ours: the agent in process (a real CXClient on its connection
//     thread) streams a 200 MiB snapshot after "down-snap"; the receiving
//     console reads every frame into a CXMessage and decodes it, until the
//     end marker.
//   Download/baseline: a plain TCP copy of the same file over loopback, read
//     and sent in 128 KiB chunks by one thread and received in 128 KiB chunks,
//     the least any transfer of the file does.
//   DownloadTls/ours (DownloadTls): the download of Download/ours, of a
//     100 MiB snapshot, through TLS: the agent with "ServerTLS:1" and the pin
//     of the test key p256 (tests/fixtures/tls), the console presenting it.
//   DownloadTls/baseline (DownloadPlain): the same download on a plain link.
//
// All report bytes per second; the files are in the page cache for all.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/paths.h"
#include "base/pins.h"
#include "base/strings.h"
#include "link/client.h"
#include "link/message.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "platform/tls.h"

namespace orvalinth {
namespace {

constexpr int32_t kSnapshot = 1;
constexpr uint32_t kFileSize = 200u << 20;
constexpr int32_t kTlsSnapshot = 2;
constexpr uint32_t kTlsFileSize = 100u << 20;
constexpr int32_t kChunk = 128 << 10;

platform::Sockets& Net() { return platform::Sockets::Real(); }

// The benchmark's program folder: a fresh folder under the system's temporary
// folder, so the snapshot, settings and log stay out of the build tree.
class BenchProcess final : public platform::Process {
 public:
  explicit BenchProcess(std::u16string folder) : folder_(std::move(folder)) {}
  std::u16string ExecutablePath() override { return folder_ + u"OrvalinthSrv.exe"; }
  bool CommandLineArguments(std::vector<std::u16string>* arguments) override {
    return platform::Process::Real().CommandLineArguments(arguments);
  }
  bool Start(const std::u16string& program, const std::u16string& line, platform::RunMode mode) override {
    return platform::Process::Real().Start(program, line, mode);
  }

 private:
  std::u16string folder_;
};

bool SendAll(platform::SocketHandle s, const char* bytes, size_t n) {
  while (n > 0) {
    const int32_t sent = Net().Send(s, bytes, static_cast<int32_t>(n < (1u << 30) ? n : (1u << 30)));
    if (sent <= 0) return false;
    bytes += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool RecvAll(platform::SocketHandle s, void* buffer, size_t n) {
  char* at = static_cast<char*>(buffer);
  while (n > 0) {
    const int32_t got = Net().Recv(s, at, static_cast<int32_t>(n < (1u << 30) ? n : (1u << 30)));
    if (got <= 0) return false;
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool SendFrame(platform::SocketHandle s, CXMessage& m) {
  int32_t length = 0;
  const uint8_t* frame = m.Encode(&length);
  return SendAll(s, reinterpret_cast<const char*>(frame), static_cast<size_t>(length));
}

bool RecvFrame(platform::SocketHandle s, CXMessage* m) {
  uint8_t prefix[4];
  if (!RecvAll(s, prefix, 4)) return false;
  const int32_t length = CXMessage::ReadLength(prefix);
  if (length < 0 || length > CXTCPIPclient::kMaxBody) return false;
  return RecvAll(s, m->ReserveBody(length), static_cast<size_t>(length)) && m->Decode();
}

// Everything both sides share: the program folder with the snapshot files,
// the settings (plain, and TLS with the console's identity), and a listening
// socket on loopback.
class Setup {
 public:
  Setup() : folder_(platform::FileSystem::Real().TempFolder() + Widen(Format("orvalinth-bench-%u\\", platform::CurrentProcessId()))),
            process_(folder_) {
    platform::ScopedFacility<platform::Process> use(process_);
    platform::FileSystem& files = platform::FileSystem::Real();
    Net().Startup();
    files.CreateFolder(folder_);
    files.CreateFolder(DataFolder());
    listener_ = Net().Listen(platform::LoopbackAddress(), 0, 4);
    Net().LocalPort(listener_, &port_);
    const std::string fixtures = ORVALINTH_TLS_FIXTURES;
    std::string error;
    identity_ = platform::TlsEngine::Real().LoadServerIdentity(fixtures + "/p256.crt", fixtures + "/p256.key", &error);
    const std::string console = Format("ServerAddr:127.0.0.1\nServerPort:%d\n", static_cast<int>(port_));
    LoadSettings(u"OrvalinthSrv.ini", console, &settings_);
    if (identity_ != nullptr) {
      LoadSettings(u"OrvalinthSrvTls.ini", console + "ServerTLS:1\nServerPin:" + PinText(identity_->pin()) + "\n",
                   &tls_settings_);
    }
  }
  ~Setup() {
    platform::ScopedFacility<platform::Process> use(process_);
    Net().Close(listener_);
    platform::FileSystem& files = platform::FileSystem::Real();
    for (const char16_t* name : {u"OrvalinthSrv.ini", u"OrvalinthSrvTls.ini", u"OrvalinthSrv.log", u"OrvalinthSrv.log.old"}) {
      files.RemoveFile(folder_ + name);
    }
    files.RemoveFile(SnapshotPath(kSnapshot));
    files.RemoveFile(SnapshotPath(kTlsSnapshot));
    files.RemoveFolder(DataFolder());
    files.RemoveFolder(folder_);
  }

  // Writes snapshot `number` of `size` bytes unless it is there already.
  void NeedSnapshot(int32_t number, uint32_t size) {
    platform::ScopedFacility<platform::Process> use(process_);
    platform::FileSystem& files = platform::FileSystem::Real();
    if (files.Open(SnapshotPath(number), platform::kOpenRead) != nullptr) return;
    std::unique_ptr<platform::File> file = files.Open(SnapshotPath(number), platform::kOpenCreate);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4093);
    uint32_t written = 0;
    for (uint32_t done = 0; file != nullptr && done < size; done += written) {
      if (!file->Write(block.data(), static_cast<uint32_t>(block.size()), &written) || written == 0) break;
    }
    // On the disk before any measurement: write-back running behind a
    // benchmark would slow whichever runs first.
    if (file != nullptr) file->Flush();
  }

  platform::SocketHandle Accept() {
    if (Net().WaitReadable(listener_, 10000) != 1) return platform::kNoSocket;
    return Net().Accept(listener_);
  }
  CXClientSettings& settings() { return settings_; }
  CXClientSettings& tls_settings() { return tls_settings_; }
  // The console's TLS identity; null when the test key cannot be loaded.
  const platform::TlsServerIdentity* identity() const { return identity_.get(); }
  // The program folder is this setup's while a benchmark runs.
  platform::Process& process() { return process_; }
  uint16_t port() const { return port_; }

 private:
  void LoadSettings(const char16_t* name, const std::string& text, CXClientSettings* settings) {
    const std::u16string ini = folder_ + name;
    std::unique_ptr<platform::File> file = platform::FileSystem::Real().Open(ini, platform::kOpenCreate);
    uint32_t written = 0;
    file->Write(text.data(), static_cast<uint32_t>(text.size()), &written);
    file.reset();
    settings->Load(ini);
  }

  std::u16string folder_;
  BenchProcess process_;
  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::unique_ptr<platform::TlsServerIdentity> identity_;
  CXClientSettings settings_;
  CXClientSettings tls_settings_;
};

// One program folder and file for both benchmarks, made before the first.
Setup& Shared() {
  static Setup setup;
  return setup;
}

// The agent with `settings` downloads snapshot `number` of `size` bytes to
// a console on this thread, TLS when `identity` is given, once per iteration.
void DownloadThroughAgent(benchmark::State& state, CXClientSettings& settings, int32_t number, uint32_t size,
                          const platform::TlsServerIdentity* identity) {
  Setup& setup = Shared();
  setup.NeedSnapshot(number, size);
  platform::ScopedFacility<platform::Process> use(setup.process());
  CXClient agent(settings);
  agent.StartConnectionThread();
  const platform::SocketHandle console = setup.Accept();
  bool ok = console != platform::kNoSocket;
  platform::TlsFailure failure;
  if (ok && identity != nullptr) ok = Net().StartTlsServer(console, *identity, 10000, &failure);
  CXMessage m;
  ok = ok && RecvFrame(console, &m);  // hello
  m.Init("hello").AddString("ver", CXTCPIPclient::kProtocolMagic).AddInt("app", 1);
  ok = ok && SendFrame(console, m) && RecvFrame(console, &m);  // info
  int64_t bytes = 0;
  for (auto _ : state) {
    if (!ok) break;
    m.Init("down-snap").AddInt("id-snapshot", number);
    ok = SendFrame(console, m) && RecvFrame(console, &m) && m.GetInt("size") == static_cast<int32_t>(size);
    while (ok) {
      ok = RecvFrame(console, &m) && m.IsNamed("down-block");
      if (m.GetInt("done") == 1) break;
      bytes += m.PayloadSize();
    }
  }
  if (!ok) state.SkipWithError(failure.reason.empty() ? "the download failed" : failure.detail.c_str());
  state.SetBytesProcessed(bytes);
  agent.StopClient();
  if (console != platform::kNoSocket) Net().Close(console);
}

void DownloadOurs(benchmark::State& state) {
  DownloadThroughAgent(state, Shared().settings(), kSnapshot, kFileSize, nullptr);
}

void DownloadPlain(benchmark::State& state) {
  DownloadThroughAgent(state, Shared().settings(), kTlsSnapshot, kTlsFileSize, nullptr);
}

void DownloadTls(benchmark::State& state) {
  if (Shared().identity() == nullptr) {
    state.SkipWithError("the test key tests/fixtures/tls/p256 cannot be loaded");
    return;
  }
  DownloadThroughAgent(state, Shared().tls_settings(), kTlsSnapshot, kTlsFileSize, Shared().identity());
}

void DownloadBaseline(benchmark::State& state) {
  Setup& setup = Shared();
  setup.NeedSnapshot(kSnapshot, kFileSize);
  platform::ScopedFacility<platform::Process> use(setup.process());
  const platform::SocketHandle sender = Net().CreateTcp();
  bool ok = sender != platform::kNoSocket && Net().Connect(sender, platform::LoopbackAddress(), setup.port());
  const platform::SocketHandle receiver = ok ? setup.Accept() : platform::kNoSocket;
  ok = ok && receiver != platform::kNoSocket;
  std::vector<char> buffer(kChunk);
  int64_t bytes = 0;
  for (auto _ : state) {
    if (!ok) break;
    std::atomic<bool> sent{true};
    std::thread send_side([&] {
      std::unique_ptr<platform::File> file =
          platform::FileSystem::Get().Open(SnapshotPath(kSnapshot), platform::kOpenRead | platform::kOpenSequential);
      std::vector<char> chunk(kChunk);
      uint32_t got = 0;
      while (file != nullptr && file->Read(chunk.data(), kChunk, &got) && got > 0) {
        if (!SendAll(sender, chunk.data(), got)) {
          sent.store(false);
          return;
        }
      }
    });
    for (uint32_t left = kFileSize; left > 0;) {
      const int32_t got = Net().Recv(receiver, buffer.data(), kChunk);
      if (got <= 0) {
        ok = false;
        break;
      }
      left -= static_cast<uint32_t>(got);
      bytes += got;
    }
    send_side.join();
    ok = ok && sent.load();
  }
  if (!ok) state.SkipWithError("the copy failed");
  state.SetBytesProcessed(bytes);
  if (sender != platform::kNoSocket) Net().Close(sender);
  if (receiver != platform::kNoSocket) Net().Close(receiver);
}

}  // namespace

BENCHMARK(DownloadOurs)->Name("Download/ours")->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DownloadBaseline)->Name("Download/baseline")->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DownloadTls)->Name("DownloadTls/ours")->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DownloadPlain)->Name("DownloadTls/baseline")->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace orvalinth
