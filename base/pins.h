#pragma once
// Pins of public keys, and the base64 they are written in. A pin is the
// SHA-256 digest of a key's DER SubjectPublicKeyInfo, written in standard
// base64 with padding (44 characters), as
//   openssl x509 -in console.crt -pubkey -noout | openssl pkey -pubin -outform der |
//     openssl dgst -sha256 -binary | base64
// prints it (and `orvalinth tls-pin FILE`). The settings keys "ServerPin:"
// and "UpgradeSigner:" hold lists of them: comma-separated, blanks ignored,
// several so that a key can be rolled over.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace orvalinth {

using SXPin = platform::Sha256Digest;

// Standard base64 with padding.
std::string EncodeBase64(const uint8_t* data, size_t n);
// Standard base64 with padding (blanks and line breaks ignored); false on
// any other character, a wrong length or wrong padding.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>* out);

std::string PinText(const SXPin& pin);
// The pins of a list; false with *error naming the first entry that is no
// pin (not base64, or not 32 bytes). An empty list is no error here.
bool ParsePins(std::string_view text, std::vector<SXPin>* pins, std::string* error);
// The pin of a DER SubjectPublicKeyInfo.
SXPin PinOfKey(const uint8_t* spki, size_t n);
bool HasPin(const std::vector<SXPin>& pins, const SXPin& pin);

}  // namespace orvalinth
