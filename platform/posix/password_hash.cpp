// Password hashes on POSIX: OpenSSL 3's scrypt (EVP_PBE_scrypt) and RAND_bytes.

#include "platform/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "platform/crypto.h"

namespace orvalinth::platform {
namespace {

constexpr int kBlockSize = 8;     // scrypt's r
constexpr int kParallel = 3;      // scrypt's p
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

bool Unhex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

bool SmallNumber(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 2) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = n;
  return n >= low && n <= high;
}

// scrypt of the password; the memory bound is what N, r and p need and a little more.
bool Scrypt(const std::string& password, const std::vector<uint8_t>& salt, int work, int r, int p, uint8_t* out,
            size_t out_size) {
  const uint64_t n = uint64_t{1} << work;
  const uint64_t memory = 128 * static_cast<uint64_t>(r) * (n + static_cast<uint64_t>(p) + 2) + (1 << 20);
  return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), n, static_cast<uint64_t>(r),
                        static_cast<uint64_t>(p), memory, out, out_size) == 1;
}

}  // namespace

bool RandomBytes(void* out, size_t n) {
  if (n > 0x7FFFFFFF) return false;
  return RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(n)) == 1;
}

std::string HashPassword(const std::string& password) { return HashPasswordWithWork(password, kPasswordWork); }

std::string HashPasswordWithWork(const std::string& password, int work) {
  if (work < 10 || work > 20) return std::string();
  std::vector<uint8_t> salt(kSaltBytes);
  if (!RandomBytes(salt.data(), salt.size())) return std::string();
  uint8_t hash[kHashBytes];
  if (!Scrypt(password, salt, work, kBlockSize, kParallel, hash, sizeof hash)) return std::string();
  return "scrypt$" + std::to_string(work) + "$" + std::to_string(kBlockSize) + "$" + std::to_string(kParallel) + "$" +
         HexText(salt.data(), salt.size()) + "$" + HexText(hash, sizeof hash);
}

bool CheckPassword(const std::string& password, const std::string& stored) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = stored.find('$', start);
    parts.push_back(stored.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  int work = 0, r = 0, p = 0;
  std::vector<uint8_t> salt, expected;
  // Bounds that keep a damaged row from asking for gigabytes.
  if (parts.size() != 6 || parts[0] != "scrypt" || !SmallNumber(parts[1], 10, 20, &work) ||
      !SmallNumber(parts[2], 1, 32, &r) || !SmallNumber(parts[3], 1, 16, &p) || !Unhex(parts[4], &salt) ||
      !Unhex(parts[5], &expected) || expected.size() < 16 || expected.size() > 64) {
    return false;
  }
  std::vector<uint8_t> actual(expected.size());
  if (!Scrypt(password, salt, work, r, p, actual.data(), actual.size())) return false;
  return CRYPTO_memcmp(actual.data(), expected.data(), expected.size()) == 0;
}

bool ReadPasswordLine(const std::string& prompt, std::string* line) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (ok && !line->empty() && line->back() == '\r') line->pop_back();
  return ok;
}

}  // namespace orvalinth::platform
