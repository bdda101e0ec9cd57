#pragma once
// Upgrade packages for tests: the smallest PE32+ file whose version
// resource says FILEVERSION 2,10,0,<version>, which the server and the
// simulated agents read as agent version <version> (record/package_version.h).

#include <cstdint>
#include <string>

namespace orvalinth::test {

inline std::string MakePackage(int32_t version) {
  std::string pe(512, '\0');
  const auto put16 = [](std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  const auto put32 = [&](std::string& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
  };
  // The version block: VS_VERSIONINFO with the fixed information, no children.
  std::string block(92, '\0');
  put16(block, 0, 92);
  put16(block, 2, 52);
  const char16_t key[] = u"VS_VERSION_INFO";
  for (size_t i = 0; i < 15; ++i) put16(block, 6 + 2 * i, key[i]);
  put32(block, 40, 0xFEEF04BD);
  put32(block, 44, 0x00010000);
  put32(block, 48, (2u << 16) | 10u);               // file version 2.10
  put32(block, 52, static_cast<uint32_t>(version));  // .0.<version>
  put32(block, 56, (2u << 16) | 10u);
  // The resource section at file offset 512, address 0x1000: type 16,
  // name 1, language 0x409, its data entry, then the block.
  std::string rsrc(0x58, '\0');
  const auto directory = [&](size_t at, uint32_t name, uint32_t data) {
    put16(rsrc, at + 14, 1);
    put32(rsrc, at + 16, name);
    put32(rsrc, at + 20, data);
  };
  directory(0x00, 16, 0x80000000u | 0x18);
  directory(0x18, 1, 0x80000000u | 0x30);
  directory(0x30, 0x409, 0x48);
  put32(rsrc, 0x48, 0x1000 + 0x58);
  put32(rsrc, 0x4C, static_cast<uint32_t>(block.size()));
  rsrc += block;
  // Headers: MZ, PE, a PE32+ optional header with 16 directories, one section.
  pe[0] = 'M';
  pe[1] = 'Z';
  put32(pe, 0x3C, 64);
  pe.replace(64, 4, std::string("PE\0\0", 4));
  put16(pe, 68, 0x8664);
  put16(pe, 70, 1);        // sections
  put16(pe, 84, 240);      // optional header size
  put16(pe, 88, 0x20B);    // PE32+
  put32(pe, 88 + 108, 16); // directories
  put32(pe, 88 + 112 + 16, 0x1000);  // resources: address, size
  put32(pe, 88 + 112 + 20, static_cast<uint32_t>(rsrc.size()));
  const size_t section = 88 + 240;
  pe.replace(section, 5, ".rsrc");
  put32(pe, section + 8, static_cast<uint32_t>(rsrc.size()));
  put32(pe, section + 12, 0x1000);
  put32(pe, section + 16, static_cast<uint32_t>(rsrc.size()));
  put32(pe, section + 20, 512);
  return pe + rsrc;
}

}  // namespace orvalinth::test
