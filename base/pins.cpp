#include "base/pins.h"

#include <algorithm>

namespace orvalinth {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string EncodeBase64(const uint8_t* data, size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t a = data[i];
    const uint32_t b = i + 1 < n ? data[i + 1] : 0;
    const uint32_t c = i + 2 < n ? data[i + 2] : 0;
    const uint32_t triple = (a << 16) | (b << 8) | c;
    out += kAlphabet[(triple >> 18) & 63];
    out += kAlphabet[(triple >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(triple >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[triple & 63] : '=';
  }
  return out;
}

bool DecodeBase64(std::string_view text, std::vector<uint8_t>* out) {
  std::string clean;
  for (char c : text) {
    if (!IsBlank(c)) clean += c;
  }
  out->clear();
  if (clean.size() % 4 != 0) return false;
  for (size_t i = 0; i < clean.size(); i += 4) {
    const bool last = i + 4 == clean.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = clean[i + static_cast<size_t>(k)];
      if (c == '=') {
        // Padding only at the very end, and only in the last two places.
        if (!last || k < 2) return false;
        ++pad;
        v[k] = 0;
        continue;
      }
      if (pad != 0) return false;
      v[k] = ValueOf(c);
      if (v[k] < 0) return false;
    }
    const uint32_t triple = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                            (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
    out->push_back(static_cast<uint8_t>(triple >> 16));
    if (pad < 2) out->push_back(static_cast<uint8_t>(triple >> 8));
    if (pad < 1) out->push_back(static_cast<uint8_t>(triple));
  }
  return true;
}

std::string PinText(const SXPin& pin) { return EncodeBase64(pin.data(), pin.size()); }

bool ParsePins(std::string_view text, std::vector<SXPin>* pins, std::string* error) {
  pins->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(start, end - start);
    while (!entry.empty() && IsBlank(entry.front())) entry.remove_prefix(1);
    while (!entry.empty() && IsBlank(entry.back())) entry.remove_suffix(1);
    start = end + 1;
    if (entry.empty()) continue;
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(entry, &bytes) || bytes.size() != 32) {
      *error = "\"" + std::string(entry) + "\" is no pin (the base64 of a 32-byte SHA-256 digest)";
      return false;
    }
    SXPin pin;
    std::copy(bytes.begin(), bytes.end(), pin.begin());
    pins->push_back(pin);
  }
  return true;
}

SXPin PinOfKey(const uint8_t* spki, size_t n) { return platform::Crypto::Get().Sha256(spki, n); }

bool HasPin(const std::vector<SXPin>& pins, const SXPin& pin) {
  return std::find(pins.begin(), pins.end(), pin) != pins.end();
}

}  // namespace orvalinth
