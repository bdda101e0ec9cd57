#include "storage/reader/snapshot_reader_model.h"

#include <tuple>

namespace orvalinth {

bool operator==(const SXReadFile& a, const SXReadFile& b) {
  return std::tie(a.version_index, a.attributes, a.last_write, a.size, a.name) ==
         std::tie(b.version_index, b.attributes, b.last_write, b.size, b.name);
}

bool operator==(const SXReadValue& a, const SXReadValue& b) {
  return std::tie(a.name, a.type, a.text, a.data) == std::tie(b.name, b.type, b.text, b.data);
}

bool operator==(const SXReadAddress& a, const SXReadAddress& b) {
  return std::tie(a.length_code, a.port, a.bytes) == std::tie(b.length_code, b.port, b.bytes);
}

bool operator==(const SXReadItem& a, const SXReadItem& b) {
  return std::tie(a.kind, a.source, a.state, a.file_missing, a.name, a.path, a.arguments, a.description,
                  a.registered_name, a.group, a.version, a.publisher, a.uninstall, a.install_date) ==
             std::tie(b.kind, b.source, b.state, b.file_missing, b.name, b.path, b.arguments, b.description,
                      b.registered_name, b.group, b.version, b.publisher, b.uninstall, b.install_date) &&
         std::tie(a.handle_type, a.object_file_missing, a.object_name, a.protocol, a.port_state, a.local, a.remote,
                  a.file, a.object_file) ==
             std::tie(b.handle_type, b.object_file_missing, b.object_name, b.protocol, b.port_state, b.local, b.remote,
                      b.file, b.object_file);
}

bool operator==(const SXReadNode& a, const SXReadNode& b) {
  return std::tie(a.name, a.error, a.attributes, a.link_type, a.link_target, a.children, a.files, a.values,
                  a.items) ==
         std::tie(b.name, b.error, b.attributes, b.link_type, b.link_target, b.children, b.files, b.values, b.items);
}

bool operator==(const SXReadVersion& a, const SXReadVersion& b) {
  return std::tie(a.file_version_high, a.file_version_low, a.strings) ==
         std::tie(b.file_version_high, b.file_version_low, b.strings);
}

bool operator==(const SXReadSection& a, const SXReadSection& b) {
  return std::tie(a.kind, a.name, a.root) == std::tie(b.kind, b.name, b.root);
}

bool operator==(const SXReadInfo& a, const SXReadInfo& b) {
  return std::tie(a.number, a.reserved, a.format_version, a.title, a.time, a.computer, a.os, a.os_details,
                  a.processor, a.user, a.counters, a.elapsed_minutes, a.elapsed_seconds) ==
             std::tie(b.number, b.reserved, b.format_version, b.title, b.time, b.computer, b.os, b.os_details,
                      b.processor, b.user, b.counters, b.elapsed_minutes, b.elapsed_seconds) &&
         std::tie(a.version_count, a.versions_per_chunk, a.full, a.removable, a.version_info, a.targets) ==
             std::tie(b.version_count, b.versions_per_chunk, b.full, b.removable, b.version_info, b.targets);
}

bool operator==(const SXReadSnapshot& a, const SXReadSnapshot& b) {
  return std::tie(a.info, a.sections, a.versions) == std::tie(b.info, b.sections, b.versions);
}

}  // namespace orvalinth
