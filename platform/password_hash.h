#pragma once
// Passwords of the web console's accounts: a salted, slow hash kept as one
// self-describing text, a constant-time check against it, random bytes for
// salts and secrets, and reading a password typed at the terminal.
//
// POSIX only (the fleet server): OpenSSL 3's scrypt and RAND_bytes.
//
// The stored text is "scrypt$<log2 N>$<r>$<p>$<salt hex>$<hash hex>": a
// check reads the cost from it, so that raising the default leaves older
// hashes valid.

#include <cstddef>
#include <string>

namespace orvalinth::platform {

// scrypt's cost: N = 2^kPasswordWork, r = 8, p = 3 (about 150 ms and 32 MiB on a server of today).
inline constexpr int kPasswordWork = 15;

// The hash text of `password` with a fresh 16-byte salt; "" when the system
// could not make one (no randomness, no memory).
std::string HashPassword(const std::string& password);
// The same with another cost, 10 to 20 (tests and fuzzing go low; the
// console uses HashPassword).
std::string HashPasswordWithWork(const std::string& password, int work);
// Whether `password` is the one of `stored` (a HashPassword text); false
// for a text that is none. The comparison takes the same time wherever the
// hashes differ.
bool CheckPassword(const std::string& password, const std::string& stored);

// `n` bytes from the system's random generator; false when it has none.
bool RandomBytes(void* out, size_t n);

// Reads one line from standard input without its line break; when standard
// input is a terminal, writes `prompt` to standard error first and does not
// echo what is typed. False at the end of input.
bool ReadPasswordLine(const std::string& prompt, std::string* line);

}  // namespace orvalinth::platform
