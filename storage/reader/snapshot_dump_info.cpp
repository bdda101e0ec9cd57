// The info lines, the counts and the summary view.

#include "base/strings.h"
#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_dump_format.h"

namespace orvalinth {

using snapshot_dump::Display;
using snapshot_dump::Display8;
using snapshot_dump::Thousands;

namespace {

const int kLabelWidth = 22;

void Line(CXDumpSink& out, const char* label, const std::string& value) {
  out.Write(Format("%-*s%s\n", kLabelWidth, label, value.c_str()));
}

// A value of several lines (the operating-system details): the first beside
// the label, the others aligned under it.
void Lines(CXDumpSink& out, const char* label, const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      parts.push_back(current);
      current.clear();
    } else {
      current += text[i];
    }
  }
  parts.push_back(current);
  for (size_t i = 0; i < parts.size(); ++i) Line(out, i == 0 ? label : "", Display8(parts[i], false, 1000));
}

void TargetLines(CXDumpSink& out, const char* label, const std::vector<std::u16string>& targets) {
  if (targets.empty()) Line(out, label, "(none)");
  for (size_t i = 0; i < targets.size(); ++i) Line(out, i == 0 ? label : "", Display(targets[i], false, 1000));
}

const char* YesNo(bool b) { return b ? "yes" : "no"; }

}  // namespace

SXSnapshotCounts CountSnapshot(const SXReadSnapshot& snapshot) {
  SXSnapshotCounts counts;
  for (int kind = 0; kind < 3; ++kind) {
    counts.sections[kind] = snapshot.sections[kind].size();
    for (const SXReadSection& section : snapshot.sections[kind]) {
      const uint64_t items_before = counts.items;
      snapshot_dump::WalkNodes(
          section.root,
          [&](const SXReadNode& node, size_t) {
            if (node.link_type != 0) {
              ++counts.links;
            } else if (kind == kReadRegistry) {
              ++counts.keys;
            } else if (kind == kReadFiles) {
              ++counts.folders;
            } else {
              ++counts.application_nodes;
            }
            if (node.error != 0) ++counts.errors;
            counts.values += node.values.size();
            counts.files += node.files.size();
            counts.items += node.items.size();
            for (const SXReadFile& file : node.files) counts.file_bytes += file.size;
          },
          [](const SXReadNode&, size_t) {});
      if (kind == kReadApplications) counts.category_items.emplace_back(section.name, counts.items - items_before);
    }
  }
  counts.versions = snapshot.versions.size();
  return counts;
}

void DumpInfo(const SXDumpDocument& document, const SXDumpOptions&, CXDumpSink& out) {
  const SXReadSnapshot& s = *document.snapshot;
  const SXReadInfo& info = s.info;
  Line(out, "snapshot file:", Format("%s (%s bytes, %u blocks)", document.file_name.c_str(),
                                     Thousands(s.file_size).c_str(), s.block_count));
  Line(out, "number:", std::to_string(info.number));
  Line(out, "title:", Display8(info.title, false, 1000));
  Line(out, "time:", Display8(info.time, false, 1000));
  Line(out, "computer:", Display8(info.computer, false, 1000));
  Line(out, "operating system:", Display8(info.os, false, 1000));
  Lines(out, "details:", info.os_details);
  Line(out, "processor:", Display8(info.processor, false, 1000));
  Line(out, "user:", Display(info.user, false, 1000));
  Line(out, "elapsed time:", Format("%d min %02d s", info.elapsed_minutes, info.elapsed_seconds));
  Line(out, "registry scan:", Format("%d keys entered, %d values", info.counters[0][0], info.counters[0][1]));
  Line(out, "file scan:", Format("%d folders entered, %d files", info.counters[1][0], info.counters[1][1]));
  Line(out, "applications scan:",
       Format("%d entries, services, drivers and programs, %d modules", info.counters[2][0], info.counters[2][1]));
  Line(out, "version records:",
       Format("%d (%d per chunk, %u chunk%s)", info.version_count, info.versions_per_chunk,
              static_cast<unsigned>(info.chunk_offsets.size()), info.chunk_offsets.size() == 1 ? "" : "s"));
  Line(out, "scan request:",
       Format("full %s, removable drives %s, version information %s", YesNo(info.full), YesNo(info.removable),
              YesNo(info.version_info)));
  TargetLines(out, "registry targets:", info.targets[0]);
  TargetLines(out, "file targets:", info.targets[1]);
  TargetLines(out, "applications targets:", info.targets[2]);
}

void DumpSummary(const SXDumpDocument& document, const SXDumpOptions& options, CXDumpSink& out) {
  DumpInfo(document, options, out);
  const SXSnapshotCounts c = CountSnapshot(*document.snapshot);
  out.Write("\n");
  Line(out, "sections:",
       Format("%llu (%llu registry, %llu file-system, %llu applications)",
              static_cast<unsigned long long>(c.sections[0] + c.sections[1] + c.sections[2]),
              static_cast<unsigned long long>(c.sections[0]), static_cast<unsigned long long>(c.sections[1]),
              static_cast<unsigned long long>(c.sections[2])));
  Line(out, "registry keys:", Thousands(c.keys));
  Line(out, "values:", Thousands(c.values));
  Line(out, "folders:", Thousands(c.folders));
  Line(out, "files:", Thousands(c.files));
  Line(out, "file bytes:", Thousands(c.file_bytes));
  Line(out, "application nodes:", Thousands(c.application_nodes));
  Line(out, "items:", Thousands(c.items));
  for (const auto& [name, count] : c.category_items) {
    Line(out, ("  " + Display(name, false, 40) + ":").c_str(), Thousands(count));
  }
  Line(out, "links:", Thousands(c.links));
  Line(out, "errors:", Thousands(c.errors));
  Line(out, "version records:", Thousands(c.versions));
  Line(out, "remarks:", Thousands(document.remark_count));
}

}  // namespace orvalinth
