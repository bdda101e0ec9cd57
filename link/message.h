#pragma once
// CXMessage: one message of the console protocol. A message is a name, ordered
// key/value pairs with text values and an optional raw payload at the end.
//
// Frame: a signed 32-bit little-endian body length L, then L body bytes:
//
//   name [FE key FE value]... [FE FE payload]
//
// Names, keys and values never contain FE (callers guarantee it; the encoder
// does not check). A list value is, per element, FF and the element's UTF-8.
// "ping" with no pairs is 04 00 00 00 70 69 6E 67.
//
// The outgoing side (Init, Add..., ReservePayload, SetPayloadSize, Encode) and
// the incoming side (ReserveBody, Decode and the readers) are independent:
// Init touches only the former, Decode only the latter, so a handler may read
// a request's values after starting its reply on the same object. A payload
// is never copied: ReservePayload hands out its place inside the frame buffer
// and Payload points into the received body.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/mem_alloc_grow.h"

namespace orvalinth {

class CXMessage {
 public:
  CXMessage() : buffer_(/*grow_step=*/0) {}
  CXMessage(const CXMessage&) = delete;
  CXMessage& operator=(const CXMessage&) = delete;

  // ---- building and encoding ----

  // Starts an outgoing message named `name` with no pairs and no payload.
  CXMessage& Init(std::string_view name);
  // Appends the pair key = value (bytes as they stand).
  CXMessage& AddString(std::string_view key, std::string_view value);
  // Appends the pair key = value written in decimal ("%d").
  CXMessage& AddInt(std::string_view key, int32_t value);
  // Appends the pair key = list: per element FF and its UTF-8.
  CXMessage& AddList(std::string_view key, const std::vector<std::u16string>& elements);
  // Makes room for up to n (>= 0) payload bytes after the pairs added so far
  // and returns where to write them. No pair may be added afterwards.
  uint8_t* ReservePayload(int32_t n);
  // The payload holds m bytes (0 <= m <= the n reserved; 0 still sends FE FE).
  void SetPayloadSize(int32_t m);
  // Completes the frame (the length over the first four bytes) and returns its
  // start; *length is the whole frame, prefix included. May be repeated. The
  // frame stays valid until the message is changed.
  const uint8_t* Encode(int32_t* length);

  // ---- receiving and reading ----

  // Sizes the body buffer to `length` (>= 0) bytes and returns it, for the
  // receiver to fill before Decode. Reuses the buffer while it is big enough.
  uint8_t* ReserveBody(int32_t length);
  // Parses the body. Fails for a body ending with a lone FE, for a key
  // without the FE that starts its value, and for more than kMaxPairs pairs;
  // the parts read so far stay.
  bool Decode();
  // No message has more than a dozen pairs. A frame of 3-byte pairs would
  // otherwise cost about twenty times its size in decoded strings.
  static constexpr size_t kMaxPairs = 65536;

  // The decoded name equals `word` byte for byte.
  bool IsNamed(std::string_view word) const { return name_ == word; }
  const std::string& Name() const { return name_; }
  // Value of the first pair with this key; empty when there is none.
  const std::string& GetString(std::string_view key) const;
  // GetString read as by strtol with base 10 (white space, sign, digits up to
  // the first non-digit), clamped to the 32-bit limits; 0 without digits.
  int32_t GetInt(std::string_view key) const;
  // Empties *elements; false when the key is missing. Otherwise the value is
  // split at every FF, the part before the first FF dropped and each other
  // part decoded from UTF-8; true.
  bool GetList(std::string_view key, std::vector<std::u16string>* elements) const;
  // The received payload, inside the body buffer; PayloadSize 0 when none.
  const uint8_t* Payload() const { return buffer_.data() + payload_offset_; }
  int32_t PayloadSize() const { return payload_size_; }
  // Readable form for the message trace: the name, per pair "\n\t" key "\t"
  // value, then "\n\tdata <n>" when there is a payload.
  void Dump(std::string* out) const;

  // The pairs of the last Decode, in wire order.
  const std::vector<std::string>& keys() const { return keys_; }
  const std::vector<std::string>& values() const { return values_; }
  // The outgoing text: "0000" (or the length once encoded), name and pairs.
  const std::string& text() const { return text_; }
  // The frame buffer (outgoing message with a payload) or the received body.
  const CXMemAllocGrow& buffer() const { return buffer_; }

  // Reads the signed 32-bit little-endian integer at p.
  static int32_t ReadLength(const uint8_t* p);
  // Writes v at p as a signed 32-bit little-endian integer.
  static void WriteLength(uint8_t* p, int32_t v);

  // Reads text as strtol with base 10 does, clamped to 32 bits.
  static int32_t ParseInt(std::string_view text);

 private:
  CXMemAllocGrow buffer_;
  std::string text_;
  std::string name_;
  std::vector<std::string> keys_;
  std::vector<std::string> values_;
  int32_t payload_offset_ = 0;
  int32_t payload_size_ = 0;
};

}  // namespace orvalinth
