#pragma once
// Builders of shell-link files (".lnk") for the tests of the format reader
// and for the fuzzer's seeds: the header, ID lists with the items the shell
// writes, and link information with local and network paths. Header-only.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/platform/pe_builder.h"

namespace orvalinth::test {

enum : uint32_t {
  kLinkHasIdList = 0x01,
  kLinkHasLinkInfo = 0x02,
  kLinkIsUnicode = 0x80,
  kLinkForceNoLinkInfo = 0x100,
};

// The 76-byte header with `flags`.
inline std::string LinkHeader(uint32_t flags) {
  std::string h(0x4C, '\0');
  PutU32(h, 0, 0x4C);
  const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  h.replace(4, 16, reinterpret_cast<const char*>(clsid), 16);
  PutU32(h, 20, flags);
  PutU32(h, 24, 0x20);  // archive
  PutU32(h, 60, 1);     // show normal
  return h;
}

// An ID list of `items` with its size and terminator.
inline std::string IdList(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) list += item;
  list += U16Bytes(0);
  return U16Bytes(static_cast<uint32_t>(list.size())) + list;
}

inline std::string Item(uint8_t type, const std::string& body) {
  std::string item = U16Bytes(static_cast<uint32_t>(3 + body.size()));
  item.push_back(static_cast<char>(type));
  return item + body;
}

// The computer: type 0x1F, sort index 0x50 and {20D04FE0-3AEA-1069-A2D8-08002B30309D}.
inline std::string ComputerItem() {
  const unsigned char guid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                  0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
  return Item(0x1F, std::string("\x50", 1) + std::string(reinterpret_cast<const char*>(guid), 16));
}

// A drive such as "C:\": type 0x2F and the name in a field of 22 bytes.
inline std::string DriveItem(const std::string& name) {
  std::string body = name;
  body.resize(22, '\0');
  return Item(0x2F, body);
}

// A file entry as Windows writes it: the 8.3 name as primary name and the
// long name in an extension block 0xBEEF0004 of version 9.
inline std::string WindowsFileItem(bool folder, const std::string& short_name, const std::u16string& long_name) {
  std::string body(11, '\0');  // unknown byte, size, date and time, attributes
  body += short_name;
  body.push_back('\0');
  if (body.size() % 2 == 0) body.push_back('\0');  // the extension starts on an even offset from the item
  const size_t extension_at = 3 + body.size();
  std::string extension(46, '\0');
  PutU16(extension, 2, 9);
  PutU32(extension, 4, 0xBEEF0004);
  PutU16(extension, 16, 46);
  extension += Utf16z(long_name);
  extension += U16Bytes(static_cast<uint32_t>(extension_at));
  PutU16(extension, 0, static_cast<uint32_t>(extension.size()));
  return Item(folder ? 0x31 : 0x32, body + extension);
}

// A file entry as Wine writes it: the long name as primary name, then the
// short name, then a wide name block without signature.
inline std::string WineFileItem(bool folder, const std::string& long_name) {
  std::string body(11, '\0');
  body += long_name;
  body.push_back('\0');
  body.push_back('\0');  // an empty short name
  if ((3 + body.size()) % 2 != 0) body.push_back('\0');
  const size_t wide_at = 3 + body.size();
  std::string wide(38, '\0');
  std::u16string name16(long_name.begin(), long_name.end());
  wide += Utf16z(name16);
  wide += U16Bytes(static_cast<uint32_t>(wide_at));
  PutU16(wide, 0, static_cast<uint32_t>(wide.size()));
  return Item(folder ? 0x31 : 0x32, body + wide);
}

// Link information for a local path, 8-bit (header 0x1C) or with the Unicode
// forms too (header 0x24).
inline std::string LocalLinkInfo(const std::string& base, const std::string& suffix, bool unicode) {
  const uint32_t header = unicode ? 0x24 : 0x1C;
  std::string volume = U32Bytes(0x11) + U32Bytes(3) + U32Bytes(0x1234ABCD) + U32Bytes(0x10) + std::string(1, '\0');
  std::string info(header, '\0');
  PutU32(info, 4, header);
  PutU32(info, 8, 0x01);
  PutU32(info, 12, header);
  info += volume;
  PutU32(info, 16, static_cast<uint32_t>(info.size()));
  info += base + std::string(1, '\0');
  PutU32(info, 24, static_cast<uint32_t>(info.size()));
  info += suffix + std::string(1, '\0');
  if (unicode) {
    Pad4(info);
    PutU32(info, 28, static_cast<uint32_t>(info.size()));
    info += Utf16z(std::u16string(base.begin(), base.end()) + u"\u00e9");  // the Unicode form differs on purpose
    PutU32(info, 32, static_cast<uint32_t>(info.size()));
    info += Utf16z(std::u16string(suffix.begin(), suffix.end()));
  }
  PutU32(info, 0, static_cast<uint32_t>(info.size()));
  return info;
}

// Link information for a file on the share `share` ("\\server\share").
inline std::string NetworkLinkInfo(const std::string& share, const std::string& suffix) {
  std::string info(0x1C, '\0');
  PutU32(info, 4, 0x1C);
  PutU32(info, 8, 0x02);
  PutU32(info, 20, 0x1C);
  std::string network(0x14, '\0');
  PutU32(network, 4, 0x02);
  PutU32(network, 8, 0x14);
  PutU32(network, 16, 0x20000);
  network += share + std::string(1, '\0');
  PutU32(network, 0, static_cast<uint32_t>(network.size()));
  info += network;
  PutU32(info, 24, static_cast<uint32_t>(info.size()));
  info += suffix + std::string(1, '\0');
  PutU32(info, 0, static_cast<uint32_t>(info.size()));
  return info;
}

// A whole link: header, ID list (when `id_list` is not empty) and link
// information (when `link_info` is not empty), and no string data.
inline std::string BuildLink(const std::string& id_list, const std::string& link_info, uint32_t extra_flags = 0) {
  uint32_t flags = extra_flags | kLinkIsUnicode;
  if (!id_list.empty()) flags |= kLinkHasIdList;
  if (!link_info.empty()) flags |= kLinkHasLinkInfo;
  return LinkHeader(flags) + id_list + link_info + U32Bytes(0);  // the extra data's terminal block
}

}  // namespace orvalinth::test
