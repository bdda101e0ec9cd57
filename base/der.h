#pragma once
// A reader of DER (the distinguished encoding of ASN.1) for bytes that come
// from anywhere: the signature blocks of executables. It reads one element at
// a time (tag, length, value) and trusts nothing: single-byte tags only,
// definite lengths only (no indefinite length), every length checked against
// the bytes left, and nested readers no deeper than kMaxDepth. It never
// copies and never allocates; each element is a view of the caller's bytes,
// which must outlive it. Time is linear in the bytes read.

#include <cstddef>
#include <cstdint>

namespace orvalinth {

namespace der {
// The tags the signature checks meet.
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
// [n], constructed (EXPLICIT, or IMPLICIT of a SET or SEQUENCE).
constexpr uint8_t ContextTag(int n) { return static_cast<uint8_t>(0xA0 | n); }
}  // namespace der

// One element: its whole encoding (tag and length included) and its value.
struct SXDerElement {
  uint8_t tag = 0;
  const uint8_t* encoding = nullptr;  // from the tag on
  size_t encoding_size = 0;
  const uint8_t* value = nullptr;
  size_t value_size = 0;
  int depth = 0;  // of the reader that read it
};

class CXDerReader {
 public:
  // Nested readers deeper than this fail: no structure that a signature
  // needs goes near it, and a crafted one cannot make a walk unbounded.
  static constexpr int kMaxDepth = 24;

  CXDerReader() : CXDerReader(nullptr, 0, 0) {}
  CXDerReader(const uint8_t* data, size_t size) : CXDerReader(data, size, 0) {}

  // The next element; false at the end or on a malformed encoding (a
  // multi-byte tag, an indefinite, over-long or non-minimal length, a
  // length beyond the bytes left), after which the reader stays failed.
  bool Next(SXDerElement* element);
  // The next element when its tag is `tag`; false otherwise (the reader then
  // fails too: the caller's structure is not what the bytes hold).
  bool Expect(uint8_t tag, SXDerElement* element);
  // The next element's tag when there is one and it decodes; 0 otherwise.
  // Reads nothing.
  uint8_t PeekTag() const;
  // A reader of `element`'s value, one level deeper than the reader that
  // read it; false beyond kMaxDepth.
  static bool Enter(const SXDerElement& element, CXDerReader* inner);

  bool AtEnd() const { return !failed_ && at_ == size_; }
  bool failed() const { return failed_; }

 private:
  CXDerReader(const uint8_t* data, size_t size, int depth) : data_(data), size_(size), depth_(depth) {}
  // Decodes the element at at_ without moving; false when it is malformed.
  bool Decode(SXDerElement* element) const;

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  int depth_;
  bool failed_ = false;
};

// Whether `element` is an OBJECT IDENTIFIER whose content bytes are `oid`
// (the encoded arcs, without tag and length).
bool IsOid(const SXDerElement& element, const uint8_t* oid, size_t oid_size);
template <size_t N>
bool IsOid(const SXDerElement& element, const uint8_t (&oid)[N]) {
  return IsOid(element, oid, N);
}

// Whether two elements encode the same bytes.
bool SameEncoding(const SXDerElement& a, const SXDerElement& b);

}  // namespace orvalinth
