#pragma once
// Pieces of the readable and JSON views of a decoded snapshot: text for
// people and for JSON, attributes, value types and data, times, versions,
// addresses, item kinds, and a walk of a tree without recursion.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth {
namespace snapshot_dump {

// UTF-8 of 16-bit text for a terminal: surrogate pairs joined, lone
// surrogates as U+FFFD, control characters as \xNN; with `quoted`, inside
// double quotes with " escaped as \" (backslashes stay as they are: paths
// read better). Text longer than `max_units` is cut
// there and followed by "... (N units)".
std::string Display(std::u16string_view text, bool quoted, size_t max_units = 200);
// The same for 8-bit text of the system's code page, taken as Latin-1.
std::string Display8(std::string_view text, bool quoted, size_t max_units = 200);

// A JSON string literal (quotes included): UTF-8, control characters and
// lone surrogates as \uXXXX.
std::string JsonString(std::u16string_view text);
std::string JsonString8(std::string_view latin1);

// "RHSDA (0x0027)": letters of the set attribute bits, then the value.
std::string AttributeText(uint32_t attributes);
// "REG_SZ", ..., or "type 0x12345" for types without a name.
std::string ValueTypeName(uint32_t type);
// The data of a value for people: text quoted, multi-strings as a list,
// numbers in decimal and hex, other data as hex cut after `max_bytes`.
std::string ValueDataText(const SXReadValue& value, size_t max_bytes = 64);
// Hex of bytes, "01 02 ...", cut after max_bytes with "... (N bytes)".
std::string HexBytes(std::string_view bytes, size_t max_bytes);

// "2023-11-14 22:13:20" in local time; "2023-11-14 22:13:20 UTC" when
// `local` is false or the local time cannot be had.
std::string FileTimeText(int64_t filetime, bool local);
// "2023-11-14T22:13:20Z".
std::string FileTimeIso(int64_t filetime);
// "10.0.19041.1"
std::string FileVersionText(uint32_t high, uint32_t low);
// "1,234,567"
std::string Thousands(uint64_t n);

const char* ItemKindName(uint8_t kind);
const char* ProtocolName(uint32_t protocol);
const char* TcpStateName(uint8_t state);
const char* LinkTypeName(uint8_t type);
// "127.0.0.1:445", "[::1]:80", "*:53" for address code 0.
std::string AddressText(const SXReadAddress& address, uint32_t protocol);

extern const char* const kVersionStringNames[kVersionStringCount];
extern const char* const kSectionKindNames[3];  // "registry", "file-system", "applications"

// Calls enter(node, depth) before the node's children and leave(node, depth)
// after them, depth first, without recursion.
template <class Enter, class Leave>
void WalkNodes(const SXReadNode& root, Enter&& enter, Leave&& leave) {
  struct Frame {
    const SXReadNode* node;
    size_t next;
  };
  std::vector<Frame> stack;
  enter(root, size_t{0});
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.node->children.size()) {
      const SXReadNode& child = top.node->children[top.next++];
      enter(child, stack.size());
      stack.push_back({&child, 0});
    } else {
      leave(*top.node, stack.size() - 1);
      stack.pop_back();
    }
  }
}

}  // namespace snapshot_dump
}  // namespace orvalinth
