#include "storage/reader/lz4_chunks.h"

#include <algorithm>
#include <cstring>

namespace orvalinth {

namespace {

enum : uint32_t {
  kMinMatch = 4,
  kLastLiterals = 5,   // the last bytes of a block are literals
  kMatchFloor = 12,    // no match starts within this many bytes of the output's end
  kInputFloor = 8,     // nor does a sequence other than the last leave fewer input bytes
};

// Makes room in `out` for output up to payload offset `end` (at most its length).
void Room(SXLz4Window* out, uint64_t end) {
  const uint64_t need = end - out->first;
  if (need <= out->bytes.size()) return;
  const uint64_t most = static_cast<uint64_t>(out->length) - out->first;
  // A quarter more: a chunk overshoots its end by one sequence only.
  out->bytes.resize(static_cast<size_t>(std::min(most, std::max<uint64_t>(need, out->bytes.size() * 5 / 4))));
}

}  // namespace

SXLz4Result DecodeLz4Sequences(const SXLz4Input& in, uint32_t stop, SXLz4Mark* at, SXLz4Window* out) {
  if (at->input < in.first || in.end > in.total || at->output < out->first || at->output > out->length) {
    return SXLz4Result::kMalformed;
  }
  // Offsets relative to what is held: ip into in.bytes, op into out->bytes.
  const uint8_t* const src = in.bytes;
  const uint64_t iend = in.end - in.first;
  const uint64_t itotal = static_cast<uint64_t>(in.total) - in.first;
  const uint64_t olength = static_cast<uint64_t>(out->length) - out->first;
  const uint64_t ostop = stop < out->first ? 0 : static_cast<uint64_t>(stop) - out->first;
  uint64_t ip = at->input - in.first;
  uint64_t op = at->output - out->first;
  uint64_t reach = out->reach < out->first ? 0 : out->reach - out->first;
  SXLz4Result result = SXLz4Result::kMalformed;
  // Where the sequence being decoded began, for a stop for more input.
  uint64_t sequence_ip = ip;
  const bool more = iend < itotal;
  for (;;) {
    if (op >= ostop) {
      result = SXLz4Result::kStopped;
      break;
    }
    sequence_ip = ip;
    if (ip >= iend) {
      // Input ends where a sequence should begin: after a match or truncated.
      if (more) result = SXLz4Result::kNeedInput;
      break;
    }
    const uint8_t token = src[ip++];
    uint64_t literals = token >> 4;
    if (literals == 15) {
      uint8_t b = 0;
      do {
        if (ip >= iend) {
          result = more ? SXLz4Result::kNeedInput : SXLz4Result::kMalformed;
          goto stopped;
        }
        b = src[ip++];
        literals += b;
      } while (b == 255);
    }
    if (literals > olength - op) break;
    if (literals > iend - ip) {
      if (more) result = SXLz4Result::kNeedInput;
      break;
    }
    Room(out, out->first + op + literals);
    if (literals != 0) std::memcpy(out->bytes.data() + op, src + ip, static_cast<size_t>(literals));
    ip += literals;
    op += literals;
    if (ip == itotal) {
      result = SXLz4Result::kFinished;
      break;
    }
    // Only the last sequence may come this close to the end.
    if (op + kMatchFloor > olength || ip + kInputFloor > itotal) break;
    if (ip + 2 > iend) {
      // Literals are in place but the sequence is undone: go back to its start.
      if (more) {
        op -= literals;
        result = SXLz4Result::kNeedInput;
      }
      break;
    }
    const uint32_t offset = src[ip] | (src[ip + 1] << 8);
    ip += 2;
    if (offset == 0 || offset > op) break;  // before the payload's start, or the window held
    uint64_t match = token & 15u;
    if (match == 15) {
      uint8_t b = 0;
      do {
        if (ip >= iend) {
          if (more) {
            op -= literals;
            result = SXLz4Result::kNeedInput;
          }
          goto stopped;
        }
        b = src[ip++];
        match += b;
      } while (b == 255);
    }
    match += kMinMatch;
    if (match > olength - op || olength - op - match < kLastLiterals) break;
    Room(out, out->first + op + match);
    uint8_t* d = out->bytes.data() + op;
    const uint8_t* s = d - offset;
    // Overlapping matches repeat the last `offset` bytes: copy from s in
    // pieces that double, each ending where the bytes written so far end.
    for (uint64_t done = 0; done < match;) {
      const uint64_t n = std::min<uint64_t>(offset + done, match - done);
      std::memcpy(d + done, s, static_cast<size_t>(n));
      done += n;
    }
    reach = std::min<uint64_t>(reach, op - offset);
    op += match;
  }
stopped:
  if (result == SXLz4Result::kNeedInput) ip = sequence_ip;
  at->input = static_cast<uint32_t>(in.first + ip);
  at->output = static_cast<uint32_t>(out->first + op);
  out->reach = static_cast<uint32_t>(out->first + reach);
  return result;
}

}  // namespace orvalinth
