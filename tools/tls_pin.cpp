// orvalinth tls-pin: the pin of the key in a certificate or key file, as an
// agent's "ServerPin:" names it.

#include <string>
#include <vector>

#include "base/pins.h"
#include "platform/console.h"
#include "platform/tls.h"
#include "tools/commands.h"

namespace orvalinth::tools {
namespace {

const char kHelp[] =
    "usage: orvalinth tls-pin FILE\n"
    "\n"
    "Prints the pin of the key in FILE: the SHA-256 digest of its DER\n"
    "SubjectPublicKeyInfo in base64, as an agent's \"ServerPin:\" names the console's\n"
    "key. FILE is a certificate, a public key or a private key, PEM or DER (an\n"
    "encrypted private key is not read: give its certificate).\n"
    "\n"
    "Exit code: 0 when the pin was printed; 1 when the file cannot be read or holds\n"
    "no key; 2 for a usage error.\n";

int Usage(const std::string& problem) {
  platform::WriteStderr(platform::TextModeLineEnds("orvalinth tls-pin: " + problem +
                                                   "\nusage: orvalinth tls-pin FILE (orvalinth tls-pin --help)\n"));
  return 2;
}

}  // namespace

int RunTlsPinCommand(const std::vector<std::string>& arguments) {
  std::string file;
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      platform::WriteStdout(platform::TextModeLineEnds(kHelp));
      return 0;
    }
    if (a.size() > 1 && a[0] == '-') return Usage("unknown option '" + a + "'");
    if (!file.empty()) return Usage("one file at a time");
    file = a;
  }
  if (file.empty()) return Usage("no file given");
  std::vector<uint8_t> spki;
  std::string error;
  if (!platform::TlsEngine::Get().PublicKeyInfo(file, &spki, &error)) {
    platform::WriteStderr(platform::TextModeLineEnds("orvalinth tls-pin: " + error + "\n"));
    return 1;
  }
  platform::WriteStdout(PinText(PinOfKey(spki.data(), spki.size())) + std::string(platform::kNewline));
  return 0;
}

}  // namespace orvalinth::tools
