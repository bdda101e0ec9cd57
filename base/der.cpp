#include "base/der.h"

#include <cstring>

namespace orvalinth {

bool CXDerReader::Decode(SXDerElement* element) const {
  const size_t left = size_ - at_;
  if (left < 2) return false;
  const uint8_t* p = data_ + at_;
  // Tag numbers of 31 and more take further bytes: nothing here uses them.
  if ((p[0] & 0x1F) == 0x1F) return false;
  size_t header = 2;
  size_t length = p[1];
  if (length & 0x80) {
    // The long form: 0x80 alone is the indefinite length (BER, not DER);
    // more than 4 length bytes would claim more than any input holds.
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || left < 2 + count) return false;
    if (p[2] == 0) return false;  // a leading zero byte: not minimal
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | p[2 + i];
    if (length < 0x80) return false;  // fits the short form: not minimal
    header += count;
  }
  if (length > left - header) return false;
  element->tag = p[0];
  element->encoding = p;
  element->encoding_size = header + length;
  element->value = p + header;
  element->value_size = length;
  element->depth = depth_;
  return true;
}

bool CXDerReader::Next(SXDerElement* element) {
  if (failed_ || at_ == size_) return false;
  if (!Decode(element)) {
    failed_ = true;
    return false;
  }
  at_ += element->encoding_size;
  return true;
}

bool CXDerReader::Expect(uint8_t tag, SXDerElement* element) {
  SXDerElement next;
  if (!Next(&next) || next.tag != tag) {
    failed_ = true;
    return false;
  }
  *element = next;
  return true;
}

uint8_t CXDerReader::PeekTag() const {
  SXDerElement next;
  if (failed_ || at_ == size_ || !Decode(&next)) return 0;
  return next.tag;
}

bool CXDerReader::Enter(const SXDerElement& element, CXDerReader* inner) {
  if (element.depth + 1 > kMaxDepth) return false;
  *inner = CXDerReader(element.value, element.value_size, element.depth + 1);
  return true;
}

bool IsOid(const SXDerElement& element, const uint8_t* oid, size_t oid_size) {
  return element.tag == der::kOid && element.value_size == oid_size && std::memcmp(element.value, oid, oid_size) == 0;
}

bool SameEncoding(const SXDerElement& a, const SXDerElement& b) {
  return a.encoding_size == b.encoding_size && std::memcmp(a.encoding, b.encoding, a.encoding_size) == 0;
}

}  // namespace orvalinth
