// Seeds for signed_upgrade_fuzz: the executables the build signed with the
// test keys (cmake/pe_fixtures.cmake), RSA, ECDSA, a signer not pinned, SHA-1
// and PE32, and an unsigned one.

#include <fstream>
#include <iterator>
#include <string>

#include "seed_folder.h"

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  const std::string fixtures = ORVALINTH_PE_FIXTURES;
  for (const char* name : {"signed/rsa.exe", "signed/ec.exe", "signed/other.exe", "signed/sha1.exe",
                           "signed/pe32.exe", "full.exe"}) {
    std::ifstream in(fixtures + "/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return 1;
    std::string seed = name;
    for (char& c : seed) c = c == '/' ? '_' : c;
    orvalinth::fuzz::WriteSeed(argv[1], seed.c_str(), bytes);
  }
  return 0;
}
