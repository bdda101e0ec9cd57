#include "record/record_support.h"

#include "base/strings.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "record/apps/system_info.h"

namespace orvalinth::test {

JobRecording::JobRecording() : path_(folder_ / u"snapshot001.snp") {}

JobRecording::~JobRecording() { writer_.ResetWriter(); }

bool JobRecording::Begin() { return writer_.CreateSnapshot(path_, "job test", request_.InfoRequest()) == 1; }

bool JobRecording::Await(int64_t timeout_ms) {
  const int64_t deadline = platform::MonotonicMs() + timeout_ms;
  while (writer_.running_jobs().Get() != 0) {
    if (platform::MonotonicMs() > deadline) return false;
    platform::SleepMs(2);
  }
  return true;
}

bool JobRecording::Finish() {
  if (writer_.FinishSnapshot(1, DescribeMachine()) == 0) return false;
  bytes_ = ReadFileBytes(path_);
  image_ = SnapshotImage();
  return ReadSnapshotImage(bytes_, &image_);
}

std::vector<std::u16string> JobRecording::SectionNames(int32_t kind) const {
  std::vector<std::u16string> names;
  for (const SXSectionEntry& entry : image_.tables[kind]) names.push_back(entry.name);
  return names;
}

NodeSpec JobRecording::Section(int32_t kind, size_t index) const {
  const SXSectionEntry& entry = image_.tables[kind].at(index);
  StoredBlock block;
  if (!DecodeBlock(bytes_, entry.block_offset, &block)) return NodeSpec();
  return ReadSectionTree(block.payload, entry.root_offset, kind);
}

std::string JobRecording::SectionBlock(int32_t kind, size_t index) const {
  StoredBlock block;
  const uint32_t offset = image_.tables[kind].at(index).block_offset;
  if (!DecodeBlock(bytes_, offset, &block)) return std::string();
  return bytes_.substr(offset, static_cast<size_t>(block.header_size) + block.stored);
}

std::vector<std::string> JobRecording::SectionPayloads(int32_t kind) const {
  std::vector<std::string> payloads;
  for (const SXSectionEntry& entry : image_.tables[kind]) {
    StoredBlock block;
    payloads.push_back(EncodeUtf8(entry.name) + "|" +
                       (DecodeBlock(bytes_, entry.block_offset, &block) ? block.payload : std::string("?")));
  }
  return payloads;
}

std::vector<uint32_t> JobRecording::BlockOffsets(int32_t kind) const {
  std::vector<uint32_t> offsets;
  for (const SXSectionEntry& entry : image_.tables[kind]) offsets.push_back(entry.block_offset);
  return offsets;
}

namespace {

void Dump(const NodeSpec& node, int depth, bool with_contents, std::string* out) {
  *out += std::string(static_cast<size_t>(depth), ' ') + N(node.name);
  if (node.error != 0) *out += Format(" error=%d", node.error);
  if (node.link_type != 0) *out += Format(" link=%d>", node.link_type) + N(node.link_target);
  if (with_contents) {
    for (const FileSpec& file : node.files) {
      *out += " " + N(file.name) + Format(":%llu", static_cast<unsigned long long>(file.size));
      if (file.version_index >= 0) *out += Format("#%d", file.version_index);
    }
    for (const ValueSpec& value : node.values) *out += " " + N(value.name) + Format(":%u", value.type);
  }
  *out += "\n";
  for (const NodeSpec& child : node.children) Dump(child, depth + 1, with_contents, out);
}

}  // namespace

std::string DumpTree(const NodeSpec& node, bool with_contents) {
  std::string out;
  Dump(node, 0, with_contents, &out);
  return out;
}

const NodeSpec* FindNode(const NodeSpec& node, const std::vector<std::u16string>& path) {
  const NodeSpec* at = &node;
  for (const std::u16string& name : path) {
    const NodeSpec* next = nullptr;
    for (const NodeSpec& child : at->children) {
      if (EqualsFolded(child.name, name)) next = &child;
    }
    if (next == nullptr) return nullptr;
    at = next;
  }
  return at;
}

namespace {

class ListFind final : public platform::FindHandle {
 public:
  explicit ListFind(std::vector<platform::FindData> entries) : entries_(std::move(entries)) {}
  bool Next(platform::FindData* entry) override {
    if (next_ >= entries_.size()) {
      platform::SetLastError(platform::kErrorNoMoreFiles);
      return false;
    }
    *entry = entries_[next_++];
    return true;
  }

 private:
  std::vector<platform::FindData> entries_;
  size_t next_ = 1;  // the first went out with FindFirst
};

platform::FindData Entry(std::u16string name, uint32_t attributes, uint64_t size) {
  platform::FindData entry;
  entry.name = std::move(name);
  entry.attributes = attributes;
  entry.last_write = 132000000000000000LL;
  entry.size = size;
  return entry;
}

}  // namespace

MadeUpTreeFileSystem::MadeUpTreeFileSystem(std::u16string root, int folders, int files)
    : FileSystemWrapper(platform::FileSystem::Real()), root_(std::move(root)), folders_(folders), files_(files) {}

std::unique_ptr<platform::FindHandle> MadeUpTreeFileSystem::FindFirst(const std::u16string& pattern,
                                                                       platform::FindData* first) {
  if (!StartsWithFolded(pattern, root_) || (pattern.size() > root_.size() && pattern[root_.size()] != u'\\')) {
    return target().FindFirst(pattern, first);
  }
  ++searches_;
  std::vector<platform::FindData> entries;
  if (EndsWithFolded(pattern, u"\\*.*")) {
    entries.push_back(Entry(u".", platform::kAttrDirectory, 0));
    entries.push_back(Entry(u"..", platform::kAttrDirectory, 0));
    for (int i = 0; i < folders_; ++i) entries.push_back(Entry(Widen(Format("d%d", i)), platform::kAttrDirectory, 0));
    for (int i = 0; i < files_; ++i) entries.push_back(Entry(Widen(Format("f%d.txt", i)), platform::kAttrArchive, 10));
  } else {
    // The folder itself, or one below it, looked up by name.
    entries.push_back(Entry(pattern.substr(pattern.find_last_of(u'\\') + 1), platform::kAttrDirectory, 0));
  }
  *first = entries.front();
  return std::make_unique<ListFind>(std::move(entries));
}

StubbornJob::~StubbornJob() {
  Release();
  StopJob(true);
}

void StubbornJob::Run() {
  started_ = true;
  while (!released_) platform::SleepMs(2);
}

}  // namespace orvalinth::test
