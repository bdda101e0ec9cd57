// Writes seed snapshots for reader_fuzz into the folder given as the argument:
// valid files of varied content, stored raw, compressed and as the writer
// chooses, built by the tests' own encoder.

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/storage/snapshot_file_builder.h"
#include "tests/storage/snapshot_samples.h"

namespace {

using namespace orvalinth;

void Save(const std::string& folder, const std::string& name, const std::string& bytes) {
  std::ofstream out(folder + "/" + name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The sample without its one long value, small enough for the fuzzer's inputs.
SXReadSnapshot Small() {
  SXReadSnapshot s = test::SampleSnapshot();
  s.sections[kReadRegistry][0].root.children[1].children[0].children[0].values[0].text.resize(40);
  s.versions[2].strings[1].resize(20);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: reader_seeds FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  const test::Store modes[] = {test::Store::kAuto, test::Store::kRaw, test::Store::kCompressed};
  const char* const mode_names[] = {"auto", "raw", "compressed"};
  const char* const kKinds[] = {"registry", "files", "applications"};
  for (int m = 0; m < 3; ++m) {
    const std::string suffix = std::string("-") + mode_names[m] + ".snp";
    SXReadSnapshot all = Small();
    Save(folder, "all" + suffix, test::BuildSnapshotFile(all, modes[m]));
    for (int kind = 0; kind < 3; ++kind) {
      SXReadSnapshot one = Small();
      for (int other = 0; other < 3; ++other) {
        if (other != kind) one.sections[other].clear();
      }
      Save(folder, std::string(kKinds[kind]) + suffix, test::BuildSnapshotFile(one, modes[m]));
    }
    SXReadSnapshot empty;
    Save(folder, "empty" + suffix, test::BuildSnapshotFile(empty, modes[m]));
  }
  SXReadSnapshot versions;
  for (uint32_t i = 0; i < 7; ++i) versions.versions.push_back(test::SampleVersion(i, u"v"));
  versions.info.versions_per_chunk = 3;  // three chunks from a handful of records
  Save(folder, "versions.snp", test::BuildSnapshotFile(versions));
  return 0;
}
