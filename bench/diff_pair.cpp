// Writes two snapshot files of a real folder tree for the comparison
// benchmark (scripts/bench-diff): OLD as the tree is, NEW with about 1% of
// its files changed (half of those grown, a quarter removed, as many added).
//
//   orvalinth_diff_pair TREE OLD.snp NEW.snp

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "base/strings.h"
#include "tests/storage/snapshot_file_builder.h"

namespace fs = std::filesystem;
using namespace orvalinth;

namespace {

// FILETIME of a file's last write (seconds since 1970 plus 1601's offset).
int64_t FileTimeOf(const fs::directory_entry& e) {
  std::error_code error;
  const auto t = e.last_write_time(error);
  const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
  return (seconds + 11644473600LL) * 10000000LL;
}

SXReadNode Walk(const fs::path& folder, const std::u16string& name, size_t* files) {
  SXReadNode node;
  node.name = name;
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end; !error && it != end;
       it.increment(error)) {
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
    return CompareNames(DecodeUtf8(a.path().filename().string()), DecodeUtf8(b.path().filename().string())) < 0;
  });
  for (const fs::directory_entry& e : entries) {
    const std::u16string child = DecodeUtf8(e.path().filename().string());
    if (e.is_symlink(error)) continue;
    if (e.is_directory(error)) {
      node.children.push_back(Walk(e.path(), child, files));
    } else if (e.is_regular_file(error)) {
      SXReadFile f;
      f.name = child;
      f.size = e.file_size(error);
      f.last_write = FileTimeOf(e);
      f.attributes = 0x20;
      node.files.push_back(std::move(f));
      ++*files;
    }
  }
  return node;
}

void Change(SXReadNode& node, std::mt19937& random, size_t* changed) {
  std::vector<SXReadFile> kept;
  for (SXReadFile& f : node.files) {
    const uint32_t roll = random() % 400;  // 1% of files: 2 of 400 grown, 1 removed, 1 followed by a new one
    if (roll == 0) {
      ++*changed;
      continue;
    }
    if (roll <= 2) {
      f.size += 4096;
      f.last_write += 36000000000LL;
      ++*changed;
    }
    kept.push_back(f);
    if (roll == 3) {
      SXReadFile added = f;
      added.name += u".new";
      kept.push_back(added);
      ++*changed;
    }
  }
  node.files = std::move(kept);
  for (SXReadNode& child : node.children) Change(child, random, changed);
}

bool Save(const char* path, SXReadSnapshot& snapshot) {
  std::ofstream out(path, std::ios::binary);
  out << test::BuildSnapshotFile(snapshot);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: orvalinth_diff_pair TREE OLD.snp NEW.snp\n");
    return 2;
  }
  size_t files = 0, changed = 0;
  SXReadSnapshot snapshot;
  snapshot.info.title = "comparison benchmark";
  snapshot.info.computer = "BENCH";
  snapshot.info.targets[1] = {u"C:\\usr\\"};
  SXReadSection section;
  section.name = u"C:\\usr";
  section.root = Walk(argv[1], u"C:\\usr", &files);
  snapshot.sections[kReadFiles].push_back(section);
  if (!Save(argv[2], snapshot)) return 1;
  std::mt19937 random(18);
  Change(snapshot.sections[kReadFiles][0].root, random, &changed);
  snapshot.info.number = 2;
  if (!Save(argv[3], snapshot)) return 1;
  std::printf("%zu files, %zu changed\n", files, changed);
  return 0;
}
