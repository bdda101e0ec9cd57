#pragma once
// The decoded contents of a snapshot file, as plain values: what the snapshot
// reader (storage/reader/snapshot_reader.h) produces and what tests compare.
//
// operator== compares contents only. Where a record sits in the file (block
// and payload offsets, stored sizes) is kept for display in the fields marked
// "place" and is left out of every comparison, so that a tree decoded from a
// file compares equal to the description it was written from.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvalinth {

// The three kinds of sections, in the order of the header and the tables block.
enum SXReadSectionKind : int { kReadRegistry = 0, kReadFiles = 1, kReadApplications = 2 };

// One file record: a file of a folder, or the file information of an item.
struct SXReadFile {
  int32_t version_index = -1;  // index into the version records, -1 for none
  uint16_t attributes = 0;     // low 16 bits of the file attributes
  int64_t last_write = 0;      // FILETIME, 100 ns units since 1601-01-01 UTC
  uint64_t size = 0;
  std::u16string name;  // empty in application items
};

// One registry value. String types (1, 2, 6, 7) keep their units in `text`
// (terminators already dropped by the writer); every other type keeps its raw
// bytes in `data`.
struct SXReadValue {
  std::u16string name;
  uint32_t type = 0;
  std::u16string text;
  std::string data;
};

// The address of a port item: length code 0 (all zero), 1 (loopback-like: all
// zero but a last 1), 4 (IPv4) or 16 (IPv6); `bytes` holds the stored bytes.
struct SXReadAddress {
  uint8_t length_code = 0;
  uint16_t port = 0;
  std::string bytes;
};

// One application item; fields that the item's kind does not store stay empty.
struct SXReadItem {
  uint8_t kind = 0;
  uint8_t source = 0;
  uint8_t state = 0;
  bool file_missing = false;  // flag 0x10: the item's file was not found
  std::u16string name, path, arguments, description;
  std::u16string registered_name;                                // kind 5
  std::u16string group, version, publisher, uninstall, install_date;  // kind 4
  uint32_t handle_type = 0;                                      // kinds 6, 8
  bool object_file_missing = false;                              // kinds 6, 8
  std::u16string object_name;                                    // kinds 6, 8
  uint32_t protocol = 0;                                         // kinds 7, 9
  uint8_t port_state = 0;                                        // kinds 7, 9
  SXReadAddress local, remote;                                   // kinds 7, 9
  std::optional<SXReadFile> file;                                // the file named by path
  std::optional<SXReadFile> object_file;                         // kinds 6, 8
};

// One folder, registry key or applications node with everything below it.
// Which of files, values and items is filled follows the section's kind.
struct SXReadNode {
  std::u16string name;  // a drive root "C:\" reads as "C:"
  int32_t error = 0;    // the system error code of a folder or key that could not be opened
  uint16_t attributes = 0;
  uint8_t link_type = 0;  // 1 registry link, 2 symbolic link, 3 junction or mount point
  std::u16string link_target;
  std::vector<SXReadNode> children;
  std::vector<SXReadFile> files;
  std::vector<SXReadValue> values;
  std::vector<SXReadItem> items;
};

// One executable's version data.
enum : int { kVersionStringCount = 6 };
struct SXReadVersion {
  uint32_t file_version_high = 0;  // major << 16 | minor
  uint32_t file_version_low = 0;   // build << 16 | revision
  // FileVersion, FileDescription, ProductName, ProductVersion, CompanyName, Comments.
  std::array<std::u16string, kVersionStringCount> strings;
};

struct SXReadSection {
  int kind = kReadRegistry;
  std::u16string name;  // as the tables block lists it
  SXReadNode root;
  // place
  uint32_t block_offset = 0;     // file offset of the section's block
  uint32_t root_offset = 0;      // payload offset of the root node table
  uint32_t payload_length = 0;   // decoded bytes
  uint32_t stored_length = 0;    // bytes in the file, header included
};

// The info block.
struct SXReadInfo {
  int32_t number = 0;
  int32_t reserved = -1;
  int32_t format_version = 0x401;
  std::string title, time, computer, os, os_details, processor;  // 8-bit, the system's code page
  std::u16string user;
  std::array<std::array<int32_t, 2>, 3> counters{};  // per kind: first and second progress counter
  int16_t elapsed_minutes = 0;
  int16_t elapsed_seconds = 0;
  int32_t version_count = 0;
  int32_t versions_per_chunk = 500;
  bool full = false, removable = false, version_info = false;
  std::array<std::vector<std::u16string>, 3> targets;  // registry, files, applications
  // place
  uint32_t tables_offset = 0;
  std::vector<uint32_t> chunk_offsets;
};

struct SXReadSnapshot {
  SXReadInfo info;
  std::array<std::vector<SXReadSection>, 3> sections;  // registry, files, applications
  std::vector<SXReadVersion> versions;
  // place
  uint64_t file_size = 0;
  std::array<uint32_t, 3> table_offsets{};  // header words 1-3
  uint32_t info_offset = 0;                  // header word 4
  uint32_t block_count = 0;
};

bool operator==(const SXReadFile& a, const SXReadFile& b);
inline bool operator!=(const SXReadFile& a, const SXReadFile& b) { return !(a == b); }
bool operator==(const SXReadValue& a, const SXReadValue& b);
inline bool operator!=(const SXReadValue& a, const SXReadValue& b) { return !(a == b); }
bool operator==(const SXReadAddress& a, const SXReadAddress& b);
inline bool operator!=(const SXReadAddress& a, const SXReadAddress& b) { return !(a == b); }
bool operator==(const SXReadItem& a, const SXReadItem& b);
inline bool operator!=(const SXReadItem& a, const SXReadItem& b) { return !(a == b); }
bool operator==(const SXReadNode& a, const SXReadNode& b);
inline bool operator!=(const SXReadNode& a, const SXReadNode& b) { return !(a == b); }
bool operator==(const SXReadVersion& a, const SXReadVersion& b);
inline bool operator!=(const SXReadVersion& a, const SXReadVersion& b) { return !(a == b); }
bool operator==(const SXReadSection& a, const SXReadSection& b);
inline bool operator!=(const SXReadSection& a, const SXReadSection& b) { return !(a == b); }
bool operator==(const SXReadInfo& a, const SXReadInfo& b);
inline bool operator!=(const SXReadInfo& a, const SXReadInfo& b) { return !(a == b); }
bool operator==(const SXReadSnapshot& a, const SXReadSnapshot& b);
inline bool operator!=(const SXReadSnapshot& a, const SXReadSnapshot& b) { return !(a == b); }

// Registry value types whose data is text.
inline bool IsRegistryTextType(uint32_t type) { return type == 1 || type == 2 || type == 6 || type == 7; }

}  // namespace orvalinth
