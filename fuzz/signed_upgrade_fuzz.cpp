// An upgrade's executable comes from the console as bytes: whatever they
// hold, the signature check must stay inside them, end in time linear in
// their size, refuse with a short reason, and accept only what a change of
// one signed byte makes it refuse. The pins are the test keys', so that the
// seeds (executables signed by them) reach the cryptography.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/pins.h"
#include "host/signed_upgrade.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<orvalinth::SXPin> pins = [] {
    std::vector<orvalinth::SXPin> parsed;
    std::string error;
    if (!orvalinth::ParsePins(ORVALINTH_TEST_PIN_RSA "," ORVALINTH_TEST_PIN_EC, &parsed, &error)) abort();
    return parsed;
  }();
  std::string why;
  const bool accepted = orvalinth::VerifyUpgradeSignature(data, size, pins, &why);
  if (accepted != why.empty() || why.size() > 160) abort();
  if (accepted) {
    // A byte of the DOS header that nothing reads but the image digest.
    std::vector<uint8_t> changed(data, data + size);
    changed[0x10] ^= 0x01;
    if (orvalinth::VerifyUpgradeSignature(changed.data(), changed.size(), pins, &why)) abort();
  }
  return 0;
}
