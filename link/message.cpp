#include "link/message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/strings.h"

namespace orvalinth {
namespace {

constexpr char kSeparator = static_cast<char>(0xFE);
constexpr char kListMark = static_cast<char>(0xFF);
constexpr uint8_t kSeparatorByte = 0xFE;
constexpr char kPlaceholder[] = "0000";
constexpr size_t kPrefix = 4;

// The first FE in [from, end), or end.
const uint8_t* FindSeparator(const uint8_t* from, const uint8_t* end) {
  const void* hit = from < end ? std::memchr(from, kSeparatorByte, static_cast<size_t>(end - from)) : nullptr;
  return hit != nullptr ? static_cast<const uint8_t*>(hit) : end;
}

std::string Bytes(const uint8_t* from, const uint8_t* to) {
  return std::string(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from));
}

const std::string& EmptyText() {
  static const std::string empty;
  return empty;
}

}  // namespace

// ---- building and encoding ----

CXMessage& CXMessage::Init(std::string_view name) {
  text_.assign(kPlaceholder, kPrefix);
  text_.append(name.data(), name.size());
  buffer_.SetSize(0);
  return *this;
}

CXMessage& CXMessage::AddString(std::string_view key, std::string_view value) {
  // Without Init there would be no room for the length: start an unnamed message.
  if (text_.empty()) text_.assign(kPlaceholder, kPrefix);
  text_.reserve(text_.size() + key.size() + value.size() + 2);
  text_ += kSeparator;
  text_.append(key.data(), key.size());
  text_ += kSeparator;
  text_.append(value.data(), value.size());
  return *this;
}

CXMessage& CXMessage::AddInt(std::string_view key, int32_t value) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
  return AddString(key, std::string_view(digits, static_cast<size_t>(n)));
}

CXMessage& CXMessage::AddList(std::string_view key, const std::vector<std::u16string>& elements) {
  AddString(key, std::string_view());
  for (const std::u16string& element : elements) {
    text_ += kListMark;
    text_ += EncodeUtf8(element);
  }
  return *this;
}

uint8_t* CXMessage::ReservePayload(int32_t n) {
  if (text_.empty()) text_.assign(kPlaceholder, kPrefix);
  if (n < 0) n = 0;
  const int32_t at = static_cast<int32_t>(text_.size()) + 2;
  return buffer_.SetSize(at + n) + at;
}

void CXMessage::SetPayloadSize(int32_t m) {
  if (m < 0) m = 0;
  buffer_.SetSize(static_cast<int32_t>(text_.size()) + 2 + m);
}

const uint8_t* CXMessage::Encode(int32_t* length) {
  if (text_.empty()) text_.assign(kPlaceholder, kPrefix);
  uint8_t* frame;
  int32_t total;
  if (buffer_.size() == 0) {
    frame = reinterpret_cast<uint8_t*>(&text_[0]);
    total = static_cast<int32_t>(text_.size());
  } else {
    // Only the short text moves; the payload already sits after it.
    frame = buffer_.data();
    std::memcpy(frame, text_.data(), text_.size());
    frame[text_.size()] = kSeparatorByte;
    frame[text_.size() + 1] = kSeparatorByte;
    total = buffer_.size();
  }
  WriteLength(frame, total - static_cast<int32_t>(kPrefix));
  *length = total;
  return frame;
}

// ---- receiving and reading ----

uint8_t* CXMessage::ReserveBody(int32_t length) { return buffer_.SetSize(length < 0 ? 0 : length); }

bool CXMessage::Decode() {
  keys_.clear();
  values_.clear();
  payload_offset_ = 0;
  payload_size_ = 0;

  const uint8_t* const begin = buffer_.data();
  const uint8_t* const end = begin + buffer_.size();
  const uint8_t* p = FindSeparator(begin, end);
  name_ = Bytes(begin, p);
  if (p == end) return true;

  auto set_payload = [&](const uint8_t* start) {
    payload_offset_ = static_cast<int32_t>(start - begin);
    payload_size_ = static_cast<int32_t>(end - start);
    return true;
  };
  for (;;) {
    // p is at an FE.
    const uint8_t* q = p + 1;
    if (q == end) return false;  // the body ends with a separator
    if (*q == kSeparatorByte) return set_payload(q + 1);
    const uint8_t* k = FindSeparator(q, end);
    if (k == end) return false;  // a key without a value
    if (keys_.size() == kMaxPairs) return false;
    keys_.push_back(Bytes(q, k));
    const uint8_t* e = FindSeparator(k + 1, end);
    values_.push_back(Bytes(k + 1, e));
    if (e == end) return true;
    if (e + 1 < end && e[1] == kSeparatorByte) return set_payload(e + 2);
    p = e;
  }
}

const std::string& CXMessage::GetString(std::string_view key) const {
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) return values_[i];
  }
  return EmptyText();
}

int32_t CXMessage::GetInt(std::string_view key) const { return ParseInt(GetString(key)); }

bool CXMessage::GetList(std::string_view key, std::vector<std::u16string>* elements) const {
  elements->clear();
  size_t i = 0;
  while (i < keys_.size() && keys_[i] != key) ++i;
  if (i == keys_.size()) return false;
  const std::string& value = values_[i];
  elements->reserve(static_cast<size_t>(std::count(value.begin(), value.end(), kListMark)));
  size_t mark = value.find(kListMark);
  while (mark != std::string::npos) {
    const size_t next = value.find(kListMark, mark + 1);
    const size_t stop = next == std::string::npos ? value.size() : next;
    elements->push_back(DecodeUtf8(value.data() + mark + 1, stop - mark - 1));
    mark = next;
  }
  return true;
}

void CXMessage::Dump(std::string* out) const {
  *out = name_;
  for (size_t i = 0; i < keys_.size(); ++i) {
    *out += "\n\t";
    *out += keys_[i];
    *out += '\t';
    *out += values_[i];
  }
  if (payload_size_ != 0) *out += Format("\n\tdata %d", static_cast<int>(payload_size_));
}

int32_t CXMessage::ReadLength(const uint8_t* p) {
  const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return static_cast<int32_t>(v);
}

void CXMessage::WriteLength(uint8_t* p, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}

int32_t CXMessage::ParseInt(std::string_view text) {
  size_t i = 0;
  // strtol's white space in the C locale.
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate towards the limit of the sign, so INT32_MIN itself reads exactly.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude < limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace orvalinth
