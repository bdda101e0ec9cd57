// Snapshots written by the real writer and read back by the strict reader:
// the trees of every section kind come back exactly as they were described,
// also when several jobs store sections and version records at once; the
// version chunks hold 500 records each; and the same input gives the same
// bytes but for the time fields.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "base/strings.h"
#include "fakes/fake_machine.h"
#include "record/apps/system_info.h"
#include "snapshot_builder.h"
#include "snapshot_bytes.h"
#include "snapshot_samples.h"
#include "storage/mem_writer.h"
#include "storage/reader/snapshot_reader.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::N;
using test::SampleData;
using test::SampleLink;
using test::SampleNode;
using test::SampleText;
using test::ReadFileBytes;
using test::TempFolder;
using test::W;

// ---- the expected trees, in the reader's terms, and the writer's input made from them ----

SXReadFile File(std::u16string name, uint64_t size, uint16_t attributes = 0x20, int32_t version = -1) {
  SXReadFile f;
  f.name = std::move(name);
  f.size = size;
  f.attributes = attributes;
  f.version_index = version;
  f.last_write = 133444736000000000LL + static_cast<int64_t>(size) * 10000000LL;
  return f;
}





// Text as the registry gives it: UTF-16LE with its terminating zero unit (a
// second one ends a multi-string).
std::string RegistryData(const SXReadValue& v) {
  if (!IsRegistryTextType(v.type)) return v.data;
  std::u16string units = v.text;
  if (v.type != 6) units.push_back(u'\0');
  if (v.type == 7) units.push_back(u'\0');
  std::string bytes;
  for (char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

// The writer's input for an expected node. Children, files and values are
// handed over in reverse, so that the writer's sorting is what puts them in
// the expected order.
test::NodeSpec ToSpec(const SXReadNode& node) {
  test::NodeSpec plan;
  plan.name = node.name;
  plan.attributes = node.attributes;
  plan.error = node.error;
  plan.link_type = node.link_type;
  plan.link_target = node.link_target;
  for (auto c = node.children.rbegin(); c != node.children.rend(); ++c) plan.children.push_back(ToSpec(*c));
  for (auto f = node.files.rbegin(); f != node.files.rend(); ++f) {
    plan.files.push_back(test::File(f->name, f->size, f->last_write, f->attributes, f->version_index));
  }
  for (auto v = node.values.rbegin(); v != node.values.rend(); ++v) {
    plan.values.push_back(test::Value(v->name, v->type, RegistryData(*v)));
  }
  // Item runs are stored as they come (the applications scan builds them in
  // its collectors' order).
  for (size_t i = 0; i < node.items.size(); ++i) {
    plan.raw_content += test::ItemRecordBytes(node.items[i], i + 1 == node.items.size());
  }
  return plan;
}

SXReadSection Section(int kind, std::u16string name, SXReadNode root) {
  SXReadSection s;
  s.kind = kind;
  s.name = std::move(name);
  s.root = std::move(root);
  return s;
}

SXReadVersion ReadVersion(const SXExeVersion& v) {
  SXReadVersion r;
  r.file_version_high = static_cast<uint32_t>(v.file_version_high);
  r.file_version_low = static_cast<uint32_t>(v.file_version_low);
  for (int k = 0; k < kVersionStringCount; ++k) r.strings[static_cast<size_t>(k)] = *v.strings(k);
  return r;
}

// The version data of executable `i`.
SXExeVersion Version(int i) {
  SXExeVersion v;
  v.file_version_high = 0x00010000 + i;
  v.file_version_low = i * 3;
  v.file_version = u"1." + W(std::to_string(i));
  v.product_name = i % 2 ? u"Odd product" : u"Even \u0416 product";
  v.comments = std::u16string(static_cast<size_t>(i % 300), u'c');
  return v;
}

// One registry root: values of every kind of data, a link, a key that could
// not be opened, wide and long names.
SXReadSection RegistrySection(const std::u16string& root_name, int variant) {
  SXReadNode software = SampleNode(u"SOFTWARE");
  software.values = {
      SampleText(u"", 1, u"default " + W(std::to_string(variant))),
      SampleData(u"Big", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
      SampleData(u"Blob", 3, std::string(300 + static_cast<size_t>(variant), '\x5A')),
      SampleData(u"Count", 4, std::string("\x2A\x00\x00\x00", 4)),
      SampleText(u"List", 7, std::u16string(u"a\0b\0c", 5)),
      SampleData(u"None", 0, std::string()),
      SampleText(u"Path", 2, u"%SystemRoot%\\system32"),
      SampleText(u"Wide\u0100", 1, u"\u0416\u0430"),
  };
  SXReadNode vendor = SampleNode(u"Vendor", {SampleNode(u"Deep")});
  vendor.children[0].values = {SampleText(u"Name", 1, std::u16string(70000, u'n'))};
  software.children = {SampleLink(u"Classes", 1, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"), vendor};
  SXReadNode sam = SampleNode(u"SAM");
  sam.error = 5;
  // In the name order: "kkk..." before "SAM" and "SOFTWARE".
  SXReadNode root = SampleNode(root_name, {SampleNode(std::u16string(300, u'k')), sam, software});
  return Section(kReadRegistry, root_name, root);
}

// One drive: nested folders with files of every size width, links of both
// kinds, a folder that could not be listed; `versions` names the version
// index of each executable in order.
SXReadSection FilesSection(const std::u16string& drive, const std::vector<int32_t>& versions) {
  SXReadNode folder = SampleNode(u"Program Files");
  folder.attributes = 0x10;
  for (size_t i = 0; i < versions.size(); ++i) {
    folder.files.push_back(File(W(Format("app%05d.exe", static_cast<int>(i))), 0x10000 + i, 0x20, versions[i]));
  }
  SXReadNode windows = SampleNode(u"Windows");
  windows.attributes = 0x10;
  windows.files = {File(u"a.txt", 0), File(u"B.ini", 0xFF, 0x21), File(u"big.bin", 0x100000000ULL),
                   File(u"c.dat", 0x100), File(u"\u0416.log", 0x10000, 0)};
  SXReadNode locked = SampleNode(u"System Volume Information");
  locked.attributes = 0x16;
  locked.error = 5;
  SXReadNode users = SampleNode(u"Users", {SampleLink(u"All Users", 3, u"C:\\ProgramData"), SampleLink(u"link", 2, u"\u0416\\x")});
  users.attributes = 0x10;
  SXReadNode long_name = SampleNode(std::u16string(260, u'L'));
  long_name.files = {File(std::u16string(300, u'f'), 1)};
  // A drive root reads without its "\" ("c:\" is "c:").
  SXReadNode root = SampleNode(drive.substr(0, 2), {long_name, folder, locked, users, windows});
  root.files = {File(u"pagefile.sys", 0x40000000ULL, 0x26)};
  SXReadSection s = Section(kReadFiles, drive, root);
  return s;
}

// One applications category with items of the common kinds; each item's
// file record when its file was found.
SXReadSection ApplicationsSection(const std::u16string& category, int variant) {
  SXReadNode root = SampleNode(category);
  for (int i = 0; i < 3; ++i) {
    SXReadItem item;
    item.kind = static_cast<uint8_t>(i == 2 ? 5 : i + 1);
    item.source = static_cast<uint8_t>(variant);
    item.state = static_cast<uint8_t>(i);
    item.name = W(Format("item %d/%d", variant, i));
    item.path = u"C:\\Program Files\\app" + W(std::to_string(i)) + u".exe";
    item.arguments = i == 1 ? u"-run \u0416" : u"";
    item.description = u"described";
    if (item.kind == 5) item.registered_name = u"Service" + W(std::to_string(variant));
    if (i == 0) {
      item.file_missing = true;
    } else {
      SXReadFile f = File(u"", 4096 + static_cast<uint64_t>(i));
      item.file = f;
    }
    root.items.push_back(item);
  }
  return Section(kReadApplications, category, root);
}

test::SectionPlan ToSectionPlan(const SXReadSection& s) {
  test::SectionPlan plan;
  plan.kind = s.kind;
  plan.name = s.name;
  plan.root = ToSpec(s.root);
  // The writer's input names a drive root with its "\".
  if (s.kind == kReadFiles) plan.root.name = s.name;
  return plan;
}

struct ReadBack {
  int ok = 0;
  SXReadSnapshot snapshot;
  SXReadFault fault;
  uint64_t remarks = 0;
  std::string first_remark;
};

ReadBack ReadSnapshot(const std::u16string& path) {
  CXSnapshotReader reader;
  ReadBack r;
  r.ok = reader.ReadFile(path, &r.snapshot);
  r.fault = reader.fault();
  r.remarks = reader.remark_count();
  if (!reader.remarks().empty()) r.first_remark = reader.remarks()[0];
  return r;
}

// The info block the writer makes for `request`, `number` and `title`, with
// the fields that depend on the moment and the system taken from `read`
// once their form has been checked.
SXReadInfo ExpectedInfo(const SXReadInfo& read, int32_t number, const std::string& title, const CXScanRequest& request) {
  SXReadInfo info;
  info.number = number;
  info.title = title;
  EXPECT_TRUE(std::regex_match(read.time, std::regex("[0-9 ]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}"))) << read.time;
  info.time = read.time;
  info.computer = "ROUNDTRIP";
  info.user = u"recorder";
  info.os = read.os;
  info.os_details = read.os_details;
  info.processor = read.processor;
  EXPECT_EQ(read.elapsed_minutes, 0);
  EXPECT_GE(read.elapsed_seconds, 0);
  EXPECT_LT(read.elapsed_seconds, 60);
  info.elapsed_minutes = read.elapsed_minutes;
  info.elapsed_seconds = read.elapsed_seconds;
  info.full = request.full;
  info.removable = request.removable_drives;
  info.version_info = request.version_info;
  for (int k = 0; k < 3; ++k) info.targets[static_cast<size_t>(k)] = request.InfoTargets(k);
  return info;
}

class SnapshotRoundTrip : public ::testing::Test {
 protected:
  SnapshotRoundTrip() {
    machine_.computer_name = "ROUNDTRIP";
    machine_.user_name = u"recorder";
  }
  std::u16string Path(const char16_t* name = u"snapshot004.snp") { return dir_ / name; }

  TempFolder dir_;
  test::FakeMachine machine_;
};

TEST_F(SnapshotRoundTrip, EverySectionKindReadsBackAsDescribed) {
  SXReadSnapshot expected;
  expected.sections[kReadRegistry] = {RegistrySection(u"HKEY_LOCAL_MACHINE", 0), RegistrySection(u"HKEY_USERS", 1)};
  // Stored d: first; the tables block lists file sections sorted by name.
  expected.sections[kReadFiles] = {FilesSection(u"c:\\", {0, 1, 0}), FilesSection(u"d:\\", {1})};
  expected.sections[kReadApplications] = {ApplicationsSection(u"Startup", 1), ApplicationsSection(u"Services", 2)};
  expected.versions = {ReadVersion(Version(7)), ReadVersion(Version(8))};

  test::SnapshotPlan plan;
  plan.number = 4;
  plan.title = "PC - snapshot #4";
  plan.request.Build(false, false, true, {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"}, {u"C:\\", u"D:\\"}, {});
  plan.versions = {{u"C:\\Program Files\\app00000.exe", Version(7)}, {u"D:\\Program Files\\app00000.exe", Version(8)}};
  for (const SXReadSection& s : expected.sections[kReadRegistry]) plan.sections.push_back(ToSectionPlan(s));
  plan.sections.push_back(ToSectionPlan(expected.sections[kReadFiles][1]));
  plan.sections.push_back(ToSectionPlan(expected.sections[kReadFiles][0]));
  for (const SXReadSection& s : expected.sections[kReadApplications]) plan.sections.push_back(ToSectionPlan(s));
  const int32_t progress[3][2] = {{11, 12}, {21, 22}, {31, 32}};
  for (int k = 0; k < 3; ++k) {
    for (int j = 0; j < 2; ++j) {
      plan.progress[k][j] = progress[k][j];
      expected.info.counters[static_cast<size_t>(k)][static_cast<size_t>(j)] = progress[k][j];
    }
  }
  std::string error;
  const uint32_t size = test::WriteSnapshot(Path(), plan, &error);
  ASSERT_GT(size, 0u) << error;

  const ReadBack r = ReadSnapshot(Path());
  ASSERT_EQ(r.ok, 1) << r.fault.message << " at " << r.fault.file_offset << "/" << r.fault.payload_offset;
  EXPECT_EQ(r.remarks, 0u) << r.first_remark;
  const std::array<std::array<int32_t, 2>, 3> counters = expected.info.counters;
  expected.info = ExpectedInfo(r.snapshot.info, 4, "PC - snapshot #4", plan.request);
  expected.info.counters = counters;
  expected.info.version_count = 2;
  EXPECT_EQ(r.snapshot.info, expected.info);
  EXPECT_EQ(r.snapshot.info.targets[kReadRegistry],
            (std::vector<std::u16string>{u"HKEY_LOCAL_MACHINE\\", u"HKEY_USERS\\"}));
  EXPECT_EQ(r.snapshot.info.targets[kReadFiles], (std::vector<std::u16string>{u"C:\\", u"D:\\"}));
  EXPECT_TRUE(r.snapshot.info.targets[kReadApplications].empty());
  EXPECT_TRUE(r.snapshot.info.version_info);
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(r.snapshot.sections[static_cast<size_t>(k)].size(), expected.sections[static_cast<size_t>(k)].size());
    for (size_t i = 0; i < expected.sections[static_cast<size_t>(k)].size(); ++i) {
      EXPECT_TRUE(r.snapshot.sections[static_cast<size_t>(k)][i] == expected.sections[static_cast<size_t>(k)][i])
          << "section " << k << "/" << i << " " << N(expected.sections[static_cast<size_t>(k)][i].name);
    }
  }
  EXPECT_TRUE(r.snapshot.versions == expected.versions);
  EXPECT_TRUE(r.snapshot == expected);
  EXPECT_EQ(r.snapshot.file_size, size);
  // The applications table keeps the order of storing; the files table is sorted.
  EXPECT_LT(r.snapshot.sections[kReadFiles][1].block_offset, r.snapshot.sections[kReadFiles][0].block_offset);
}

TEST_F(SnapshotRoundTrip, JobsStoringSectionsAndVersionsAtOnceReadBackExactly) {
  constexpr int kExecutables = 1001;
  CXSnapshotWriter writer;
  std::map<std::u16string, int> executable_of;  // folded path -> i
  std::vector<std::u16string> paths;
  for (int i = 0; i < kExecutables; ++i) {
    paths.push_back(W(Format("C:\\Apps\\x%04d.exe", i)));
    executable_of[FoldedAZ(paths.back())] = i;
  }
  writer.version_table().set_reader([&executable_of](const std::u16string& path, SXExeVersion* out) {
    const auto found = executable_of.find(FoldedAZ(path));
    if (found == executable_of.end()) return 0;
    *out = Version(found->second);
    return 1;
  });
  CXScanRequest request;
  request.Build(false, false, true, {u"HKEY_CURRENT_USER"}, {u"C:\\Apps"}, {});
  ASSERT_EQ(writer.CreateSnapshot(Path(), "jobs", request.InfoRequest()), 1) << writer.ChainText(false);

  // Registry and applications jobs store their sections while two file jobs
  // look executables up (storing full version chunks) and store drives. The
  // file jobs share half their executables, as drives can share a path.
  constexpr int kSectionsPerJob = 12;
  std::vector<SXReadSection> registry, applications;
  for (int i = 0; i < kSectionsPerJob; ++i) {
    registry.push_back(RegistrySection(u"HKEY_CURRENT_USER" + W(std::to_string(i)), i));
    applications.push_back(ApplicationsSection(u"Category" + W(std::to_string(i)), i));
  }
  std::mutex files_lock;
  std::vector<SXReadSection> files;
  std::map<int32_t, int> executable_at;  // version index -> i
  const auto store = [&writer](const SXReadSection& s) {
    CXMemWriter payload;
    const test::SectionPlan plan = ToSectionPlan(s);
    const int32_t root = test::BuildSectionPayload(plan.root, plan.kind, true, &payload);
    return writer.AddSection(s.kind, plan.name, root, payload) != 0;
  };
  const auto file_job = [&](int job) {
    for (int d = 0; d < kSectionsPerJob; ++d) {
      std::vector<int32_t> versions;
      std::vector<int> used;
      for (int i = job * 400 + d * 50; i < job * 400 + d * 50 + 50 && i < kExecutables; ++i) {
        versions.push_back(writer.version_table().LookupVersion(paths[static_cast<size_t>(i)], nullptr, nullptr));
        used.push_back(i);
      }
      const std::u16string drive = W(Format("%c:\\", 'c' + job * kSectionsPerJob + d));
      SXReadSection s = FilesSection(drive, versions);
      std::lock_guard<std::mutex> guard(files_lock);
      for (size_t k = 0; k < versions.size(); ++k) executable_at[versions[k]] = used[k];
      files.push_back(s);
      EXPECT_TRUE(store(s));
    }
  };
  std::vector<std::thread> jobs;
  jobs.emplace_back([&] {
    for (const SXReadSection& s : registry) EXPECT_TRUE(store(s));
  });
  jobs.emplace_back(file_job, 0);
  jobs.emplace_back([&] {
    for (const SXReadSection& s : applications) EXPECT_TRUE(store(s));
  });
  jobs.emplace_back(file_job, 1);
  for (std::thread& t : jobs) t.join();
  // The executables no file job reached.
  for (int i = 0; i < kExecutables; ++i) {
    const int32_t index = writer.version_table().LookupVersion(paths[static_cast<size_t>(i)], nullptr, nullptr);
    executable_at[index] = i;
  }
  ASSERT_GT(writer.FinishSnapshot(9, DescribeMachine()), 0u) << writer.ChainText(false);

  const ReadBack r = ReadSnapshot(Path());
  ASSERT_EQ(r.ok, 1) << r.fault.message << " at " << r.fault.file_offset << "/" << r.fault.payload_offset;
  EXPECT_EQ(r.remarks, 0u) << r.first_remark;
  SXReadSnapshot expected;
  expected.info = ExpectedInfo(r.snapshot.info, 9, "jobs", request);
  expected.info.version_count = kExecutables;
  expected.sections[kReadRegistry] = registry;
  expected.sections[kReadApplications] = applications;
  std::sort(files.begin(), files.end(), [](const SXReadSection& a, const SXReadSection& b) { return a.name < b.name; });
  expected.sections[kReadFiles] = files;
  ASSERT_EQ(executable_at.size(), static_cast<size_t>(kExecutables));
  for (const auto& [index, i] : executable_at) {
    ASSERT_EQ(index, static_cast<int32_t>(expected.versions.size()));
    expected.versions.push_back(ReadVersion(Version(i)));
  }
  EXPECT_EQ(r.snapshot.info, expected.info);
  EXPECT_EQ(r.snapshot.sections[kReadFiles].size(), 2u * kSectionsPerJob);
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(r.snapshot.sections[static_cast<size_t>(k)] == expected.sections[static_cast<size_t>(k)]) << k;
  }
  EXPECT_TRUE(r.snapshot.versions == expected.versions);
  EXPECT_TRUE(r.snapshot == expected);
  EXPECT_EQ(r.snapshot.info.chunk_offsets.size(), 3u);
}

TEST_F(SnapshotRoundTrip, ThousandAndOneVersionsReadBackFromChunksOf500500And1) {
  test::SnapshotPlan plan;
  plan.number = 12;
  std::vector<int32_t> every;
  for (int i = 0; i < 1001; ++i) {
    plan.versions.push_back({W(Format("C:\\Program Files\\app%05d.exe", i)), Version(i)});
    every.push_back(i);
  }
  const SXReadSection drive = FilesSection(u"c:\\", every);
  plan.sections.push_back(ToSectionPlan(drive));
  ASSERT_GT(test::WriteSnapshot(Path(), plan), 0u);

  const ReadBack r = ReadSnapshot(Path());
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  EXPECT_EQ(r.remarks, 0u) << r.first_remark;
  EXPECT_EQ(r.snapshot.info.version_count, 1001);
  EXPECT_EQ(r.snapshot.info.versions_per_chunk, 500);
  ASSERT_EQ(r.snapshot.info.chunk_offsets.size(), 3u);
  ASSERT_EQ(r.snapshot.versions.size(), 1001u);
  for (int i = 0; i < 1001; ++i) {
    ASSERT_TRUE(r.snapshot.versions[static_cast<size_t>(i)] == ReadVersion(Version(i))) << i;
  }
  ASSERT_EQ(r.snapshot.sections[kReadFiles].size(), 1u);
  EXPECT_TRUE(r.snapshot.sections[kReadFiles][0] == drive);

  // Chunk by chunk: the records of each chunk are 500 (500 and 1) version
  // records back to back, nothing else.
  const std::string bytes = ReadFileBytes(Path());
  const size_t counts[3] = {500, 500, 1};
  for (size_t k = 0; k < 3; ++k) {
    test::StoredBlock chunk;
    ASSERT_TRUE(test::DecodeBlock(bytes, r.snapshot.info.chunk_offsets[k], &chunk));
    std::string records;
    for (size_t i = 0; i < counts[k]; ++i) {
      records += test::VersionRecordBytes(r.snapshot.versions[500 * k + i]);
    }
    EXPECT_EQ(chunk.payload.size(), records.size()) << k;
    EXPECT_TRUE(chunk.payload == records) << k;
  }
  // The full chunks were stored as they filled, before the tables block; the
  // last one at the finish, after it.
  EXPECT_LT(r.snapshot.info.chunk_offsets[0], r.snapshot.info.chunk_offsets[1]);
  EXPECT_LT(r.snapshot.info.chunk_offsets[1], r.snapshot.info.tables_offset);
  EXPECT_GT(r.snapshot.info.chunk_offsets[2], r.snapshot.info.tables_offset);
  EXPECT_LT(r.snapshot.info.chunk_offsets[2], r.snapshot.info_offset);
}

// The info payload of a file with its time text and elapsed time overwritten,
// located through what the reader found in it.
std::string InfoWithoutTimes(const std::string& file, const SXReadSnapshot& read) {
  test::StoredBlock block;
  if (!test::DecodeBlock(file, read.info_offset, &block)) return "undecodable";
  std::string payload = block.payload;
  const SXReadInfo& info = read.info;
  // mark, number, reserved, format version, then the title's count and text.
  const size_t time_at = 1 + 3 * 4 + 2 + info.title.size() + 2;
  if (payload.compare(time_at, info.time.size(), info.time) != 0) return "time not where the reader says";
  payload.replace(time_at, info.time.size(), info.time.size(), '#');
  size_t at = time_at + info.time.size();
  for (const std::string* s : {&info.computer, &info.os, &info.os_details, &info.processor}) at += 2 + s->size();
  at += 2 + 2 * info.user.size();
  at += 4 + 6 * 4;  // tables block offset, counters
  const int16_t elapsed[2] = {info.elapsed_minutes, info.elapsed_seconds};
  if (payload.compare(at, 4, std::string(reinterpret_cast<const char*>(elapsed), 4)) != 0) {
    return "elapsed time not where the reader says";
  }
  payload.replace(at, 4, 4, '#');
  return payload;
}

TEST_F(SnapshotRoundTrip, TheSameInputGivesTheSameBytesButForTheTimes) {
  test::SnapshotPlan plan;
  plan.number = 5;
  plan.title = "twice";
  plan.request.Build(false, true, true, {u"HKEY_LOCAL_MACHINE\\SOFTWARE"}, {u"C:\\", u"-C:\\Temp"}, {u"*"});
  plan.sections.push_back(ToSectionPlan(RegistrySection(u"HKEY_LOCAL_MACHINE", 3)));
  plan.sections.push_back(ToSectionPlan(FilesSection(u"c:\\", {0, 1})));
  plan.sections.push_back(ToSectionPlan(ApplicationsSection(u"Startup", 4)));
  plan.versions = {{u"C:\\Program Files\\app00000.exe", Version(1)}, {u"C:\\Program Files\\app00001.exe", Version(2)}};
  plan.progress[1][1] = 9;
  ASSERT_GT(test::WriteSnapshot(Path(u"one.snp"), plan), 0u);
  ASSERT_GT(test::WriteSnapshot(Path(u"two.snp"), plan), 0u);
  const std::string one = ReadFileBytes(Path(u"one.snp"));
  const std::string two = ReadFileBytes(Path(u"two.snp"));
  const ReadBack first = ReadSnapshot(Path(u"one.snp"));
  const ReadBack second = ReadSnapshot(Path(u"two.snp"));
  ASSERT_EQ(first.ok, 1) << first.fault.message;
  ASSERT_EQ(second.ok, 1) << second.fault.message;

  // Everything before the info block is the same byte for byte, and the info
  // block ends the file.
  ASSERT_EQ(first.snapshot.info_offset, second.snapshot.info_offset);
  EXPECT_EQ(test::ToHex(one.substr(0, first.snapshot.info_offset)),
            test::ToHex(two.substr(0, second.snapshot.info_offset)));
  // In the info block only the time fields may differ.
  const std::string info_one = InfoWithoutTimes(one, first.snapshot);
  const std::string info_two = InfoWithoutTimes(two, second.snapshot);
  EXPECT_GT(info_one.size(), 120u) << info_one;
  EXPECT_EQ(test::ToHex(info_one), test::ToHex(info_two));
  // And read back they differ in nothing else.
  SXReadSnapshot second_with_first_times = second.snapshot;
  second_with_first_times.info.time = first.snapshot.info.time;
  second_with_first_times.info.elapsed_minutes = first.snapshot.info.elapsed_minutes;
  second_with_first_times.info.elapsed_seconds = first.snapshot.info.elapsed_seconds;
  EXPECT_TRUE(second_with_first_times == first.snapshot);
}

}  // namespace
}  // namespace orvalinth
