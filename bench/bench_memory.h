#pragma once
// What the benchmarks of recordings share: this process's resident memory
// from /proc (the peak, "VmHWM", which Linux 4.0 on can reset to the memory
// in use, and the memory in use, "VmRSS"), and the decoded section payloads
// of a snapshot file, to compare two recordings of the same input.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/drive_table.h"
#include "storage/block_header.h"
#include "storage/lz4_block.h"

namespace orvalinth::bench {

// A field of /proc/self/status in kB ("VmHWM:", "VmRSS:"); -1 when missing.
inline long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
  }
  return -1;
}
inline long PeakResidentKb() { return StatusKb("VmHWM:"); }
inline void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The decoded payloads of a snapshot's blocks in order, its last two (the
// tables and info blocks, which hold offsets and times of their own) left
// out; empty when a block does not decode.
inline std::vector<std::string> SectionPayloads(const std::u16string& path) {
  std::ifstream in(platform::posix::ToHostPath(path), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  std::vector<std::string> payloads;
  for (size_t at = 20; at < file.size();) {
    uint32_t stored = 0, length = 0;
    bool compressed = false;
    const int32_t h = DecodeBlockHeader(bytes + at, &stored, &length, &compressed);
    if (h <= 0 || at + static_cast<size_t>(h) + stored > file.size()) return {};
    std::string payload(length, '\0');
    if (!compressed) {
      payload.assign(file, at + static_cast<size_t>(h), stored);
    } else if (stored < 2 || Lz4DecompressBlock(bytes + at + h + 1, static_cast<int32_t>(stored) - 1,
                                                reinterpret_cast<uint8_t*>(&payload[0]),
                                                static_cast<int32_t>(length)) != static_cast<int32_t>(length)) {
      return {};
    }
    payloads.push_back(std::move(payload));
    at += static_cast<size_t>(h) + stored;
  }
  if (payloads.size() < 2) return {};
  payloads.resize(payloads.size() - 2);
  return payloads;
}

}  // namespace orvalinth::bench
