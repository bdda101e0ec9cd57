// Encoding and decoding the two largest kinds of message: a "down-block" with
// a 131,072-byte payload, and a listing reply with a 1,000-element list.
//
//   MessageEncodeBlock: ours writes the frame around the payload in place;
//     baseline assembles the frame by copying the payload, as an encoder that
//     owns its parts must.
//   MessageDecodeBlock: ours points into the received body; baseline copies
//     the payload out of it.
//   MessageEncodeList / MessageDecodeList: baseline is one memcpy of the frame,
//     the least any encoder or decoder does.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/strings.h"
#include "link/message.h"

namespace orvalinth {
namespace {

constexpr int32_t kBlock = 131072;

std::vector<std::u16string> FolderNames() {
  std::vector<std::u16string> names;
  for (int i = 0; i < 1000; ++i) names.push_back(Widen(Format("Folder %04d of the listing \xE9t\xE9", i)));
  return names;
}

std::string BlockPayload() {
  std::string payload(kBlock, '\0');
  for (int32_t i = 0; i < kBlock; ++i) payload[static_cast<size_t>(i)] = static_cast<char>(i * 31);
  return payload;
}

// The body of a message, as the receiver has it.
std::string BodyOf(CXMessage& m) {
  int32_t length = 0;
  const uint8_t* frame = m.Encode(&length);
  return std::string(reinterpret_cast<const char*>(frame) + 4, static_cast<size_t>(length - 4));
}

void Received(CXMessage& m, const std::string& body) {
  std::memcpy(m.ReserveBody(static_cast<int32_t>(body.size())), body.data(), body.size());
}

void EncodeBlockOurs(benchmark::State& state) {
  CXMessage m;
  const std::string payload = BlockPayload();
  m.Init("down-block");
  std::memcpy(m.ReservePayload(kBlock), payload.data(), payload.size());  // as the file read does
  int32_t length = 0;
  for (auto _ : state) {
    m.Init("down-block");
    m.ReservePayload(kBlock);
    m.SetPayloadSize(kBlock);
    benchmark::DoNotOptimize(m.Encode(&length));
  }
  state.SetBytesProcessed(state.iterations() * length);
}

void EncodeBlockBaseline(benchmark::State& state) {
  const std::string payload = BlockPayload();
  std::string frame;
  for (auto _ : state) {
    frame.clear();
    frame.append(4, '\0');
    frame.append("down-block");
    frame.append("\xFE\xFE");
    frame.append(payload);
    CXMessage::WriteLength(reinterpret_cast<uint8_t*>(&frame[0]), static_cast<int32_t>(frame.size() - 4));
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

std::string BlockBody() {
  CXMessage m;
  const std::string payload = BlockPayload();
  m.Init("down-block");
  std::memcpy(m.ReservePayload(kBlock), payload.data(), payload.size());
  m.SetPayloadSize(kBlock);
  return BodyOf(m);
}

void DecodeBlockOurs(benchmark::State& state) {
  const std::string body = BlockBody();
  CXMessage m;
  Received(m, body);
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Decode());
    benchmark::DoNotOptimize(m.Payload());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size() + 4));
}

void DecodeBlockBaseline(benchmark::State& state) {
  const std::string body = BlockBody();
  CXMessage m;
  Received(m, body);
  std::string payload;
  for (auto _ : state) {
    m.Decode();
    payload.assign(reinterpret_cast<const char*>(m.Payload()), static_cast<size_t>(m.PayloadSize()));
    benchmark::DoNotOptimize(payload.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size() + 4));
}

void EncodeListOurs(benchmark::State& state) {
  const std::vector<std::u16string> names = FolderNames();
  CXMessage m;
  int32_t length = 0;
  for (auto _ : state) {
    m.Init("get-dir").AddInt("ok", 1).AddList("list", names);
    benchmark::DoNotOptimize(m.Encode(&length));
  }
  state.SetBytesProcessed(state.iterations() * length);
}

void EncodeListBaseline(benchmark::State& state) {
  CXMessage m;
  m.Init("get-dir").AddInt("ok", 1).AddList("list", FolderNames());
  const std::string frame = "0000" + BodyOf(m);
  std::string copy(frame.size(), '\0');
  for (auto _ : state) {
    std::memcpy(&copy[0], frame.data(), frame.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

std::string ListBody() {
  CXMessage m;
  m.Init("get-dir").AddInt("ok", 1).AddList("list", FolderNames());
  return BodyOf(m);
}

void DecodeListOurs(benchmark::State& state) {
  const std::string body = ListBody();
  CXMessage m;
  Received(m, body);
  std::vector<std::u16string> list;
  for (auto _ : state) {
    m.Decode();
    m.GetList("list", &list);
    benchmark::DoNotOptimize(list.data());
  }
  if (list.size() != 1000) state.SkipWithError("list lost elements");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size() + 4));
}

void DecodeListBaseline(benchmark::State& state) {
  const std::string body = ListBody();
  std::string copy(body.size(), '\0');
  for (auto _ : state) {
    std::memcpy(&copy[0], body.data(), body.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size() + 4));
}

BENCHMARK(EncodeBlockOurs)->Name("MessageEncodeBlock/ours");
BENCHMARK(EncodeBlockBaseline)->Name("MessageEncodeBlock/baseline");
BENCHMARK(DecodeBlockOurs)->Name("MessageDecodeBlock/ours");
BENCHMARK(DecodeBlockBaseline)->Name("MessageDecodeBlock/baseline");
BENCHMARK(EncodeListOurs)->Name("MessageEncodeList/ours");
BENCHMARK(EncodeListBaseline)->Name("MessageEncodeList/baseline");
BENCHMARK(DecodeListOurs)->Name("MessageDecodeList/ours");
BENCHMARK(DecodeListBaseline)->Name("MessageDecodeList/baseline");

}  // namespace
}  // namespace orvalinth
